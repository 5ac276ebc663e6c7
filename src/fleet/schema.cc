#include "fleet/schema.h"

namespace kelvane::fleet {
namespace {

// Version 1. Row-level security does the vouching: a service's role may
// insert requests only for the host bound to it in `hosts` (a table only
// the administrator writes), update only its own host's requests, and vote
// only as its own host's operators, never on a request its operator made
// at that host. Verdicts reached by votes are written by count_votes, the
// one function that runs with the owner's rights (see there).
constexpr std::string_view kVersion1 = R"sql(
DO $$
BEGIN
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'kelvane_approvald') THEN
    CREATE ROLE kelvane_approvald NOLOGIN;
  END IF;
END
$$;

CREATE SCHEMA kelvane_approval;
REVOKE ALL ON SCHEMA kelvane_approval FROM PUBLIC;
GRANT USAGE ON SCHEMA kelvane_approval TO kelvane_approvald;

CREATE TABLE kelvane_approval.schema_version (version integer NOT NULL);

-- Which database role speaks for which host. Written by the administrator
-- only; public_keys is where a service publishes its token keys.
CREATE TABLE kelvane_approval.hosts (
  host_name text PRIMARY KEY CHECK (host_name ~ '^[A-Za-z0-9][A-Za-z0-9._-]{0,252}$'),
  role_name name NOT NULL UNIQUE,
  host_key integer GENERATED ALWAYS AS IDENTITY UNIQUE,
  public_keys text[] NOT NULL DEFAULT '{}'
);

-- Ids from this sequence start above every id a host's own record makes
-- (those stay below 2^59), so that imported requests keep theirs.
-- Each value is the first of a block of 65536 ids that one service takes.
CREATE SEQUENCE kelvane_approval.request_ids
  AS bigint INCREMENT BY 65536 START WITH 1152921504606846976
  MINVALUE 1152921504606846976;

CREATE TABLE kelvane_approval.requests (
  id text PRIMARY KEY CHECK (id ~ '^[0-9]{1,20}$'),
  host_name text NOT NULL REFERENCES kelvane_approval.hosts (host_name),
  state text NOT NULL CHECK (state IN ('pending', 'approved', 'denied', 'expired', 'refused',
                                       'invalid', 'withdrawn', 'abandoned')),
  title text NOT NULL,
  detail text NOT NULL,
  action text NOT NULL,
  requester text NOT NULL,
  source_host text NOT NULL,
  target_host text NOT NULL,
  operation_digest text,
  context text,
  timeout_secs bigint NOT NULL CHECK (timeout_secs >= 0),
  created_at text NOT NULL,
  decided_at text,
  verified_uid bigint NOT NULL CHECK (verified_uid >= 0),
  verified_user text NOT NULL,
  via_sudo boolean NOT NULL,
  peer_uid bigint NOT NULL,
  peer_gid bigint NOT NULL,
  peer_pid bigint NOT NULL,
  peer_name text NOT NULL,
  peer_executable text NOT NULL,
  needed integer NOT NULL CHECK (needed >= 1),
  detail_of_verdict text
);
CREATE INDEX requests_pending ON kelvane_approval.requests (host_name) WHERE state = 'pending';
CREATE INDEX requests_by_creation ON kelvane_approval.requests (created_at);

CREATE TABLE kelvane_approval.votes (
  request_id text NOT NULL REFERENCES kelvane_approval.requests (id) ON DELETE CASCADE,
  operator_user text NOT NULL CHECK (operator_user <> ''),
  operator_uid bigint NOT NULL,
  operator_host text NOT NULL REFERENCES kelvane_approval.hosts (host_name),
  approve boolean NOT NULL,
  reason text,
  at text NOT NULL,
  seq bigint GENERATED ALWAYS AS IDENTITY,
  PRIMARY KEY (request_id, operator_host, operator_user)
);

-- The host of the role asking; NULL for a role bound to none.
CREATE FUNCTION kelvane_approval.own_host() RETURNS text
  LANGUAGE sql STABLE
  SET search_path = pg_catalog, pg_temp
  AS $$ SELECT host_name FROM kelvane_approval.hosts WHERE role_name = current_user $$;

CREATE FUNCTION kelvane_approval.now_text() RETURNS text
  LANGUAGE sql STABLE
  SET search_path = pg_catalog, pg_temp
  AS $$ SELECT to_char(now() AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"') $$;

ALTER TABLE kelvane_approval.hosts ENABLE ROW LEVEL SECURITY;
CREATE POLICY everyone_reads ON kelvane_approval.hosts FOR SELECT TO kelvane_approvald
  USING (true);
CREATE POLICY own_keys ON kelvane_approval.hosts FOR UPDATE TO kelvane_approvald
  USING (role_name = current_user) WITH CHECK (role_name = current_user);

ALTER TABLE kelvane_approval.requests ENABLE ROW LEVEL SECURITY;
CREATE POLICY everyone_reads ON kelvane_approval.requests FOR SELECT TO kelvane_approvald
  USING (true);
CREATE POLICY own_host_asks ON kelvane_approval.requests FOR INSERT TO kelvane_approvald
  WITH CHECK (host_name = kelvane_approval.own_host() AND state = 'pending'
              AND decided_at IS NULL AND detail_of_verdict IS NULL);
CREATE POLICY own_host_closes ON kelvane_approval.requests FOR UPDATE TO kelvane_approvald
  USING (host_name = kelvane_approval.own_host())
  WITH CHECK (host_name = kelvane_approval.own_host());
CREATE POLICY own_host_prunes ON kelvane_approval.requests FOR DELETE TO kelvane_approvald
  USING (host_name = kelvane_approval.own_host() AND state <> 'pending');

ALTER TABLE kelvane_approval.votes ENABLE ROW LEVEL SECURITY;
CREATE POLICY everyone_reads ON kelvane_approval.votes FOR SELECT TO kelvane_approvald
  USING (true);
CREATE POLICY own_operators_vote ON kelvane_approval.votes FOR INSERT TO kelvane_approvald
  WITH CHECK (
    operator_host = kelvane_approval.own_host()
    AND EXISTS (SELECT FROM kelvane_approval.requests r
                WHERE r.id = request_id AND r.state = 'pending'
                  AND NOT (r.host_name = operator_host AND r.verified_user = operator_user)));

-- A request leaves "pending" once, and nothing else of it changes.
CREATE FUNCTION kelvane_approval.keep_verdicts() RETURNS trigger
  LANGUAGE plpgsql
  SET search_path = pg_catalog, pg_temp
  AS $$
BEGIN
  IF OLD.state <> 'pending' THEN
    RAISE EXCEPTION 'request % is already %', OLD.id, OLD.state USING ERRCODE = '55000';
  END IF;
  IF NEW.state = 'pending' THEN
    RAISE EXCEPTION 'request % stays pending', OLD.id USING ERRCODE = '55000';
  END IF;
  RETURN NEW;
END
$$;
CREATE TRIGGER keep_verdicts BEFORE UPDATE ON kelvane_approval.requests
  FOR EACH ROW EXECUTE FUNCTION kelvane_approval.keep_verdicts();

-- Every service listens on one channel: "request ID HOST" when a request
-- starts to wait, "vote ID HOST" for a vote, "verdict ID HOST STATE" when
-- it stops waiting. Sent at commit, so a listener sees only what is there.
CREATE FUNCTION kelvane_approval.tell() RETURNS trigger
  LANGUAGE plpgsql
  SET search_path = pg_catalog, pg_temp
  AS $$
BEGIN
  IF TG_TABLE_NAME = 'votes' THEN
    PERFORM pg_notify('kelvane_approval', 'vote ' || NEW.request_id || ' ' || NEW.operator_host);
  ELSIF TG_OP = 'INSERT' THEN
    PERFORM pg_notify('kelvane_approval', 'request ' || NEW.id || ' ' || NEW.host_name);
  ELSE
    PERFORM pg_notify('kelvane_approval',
                      'verdict ' || NEW.id || ' ' || NEW.host_name || ' ' || NEW.state);
  END IF;
  RETURN NULL;
END
$$;
CREATE TRIGGER tell_requests AFTER INSERT OR UPDATE ON kelvane_approval.requests
  FOR EACH ROW EXECUTE FUNCTION kelvane_approval.tell();
CREATE TRIGGER tell_votes AFTER INSERT ON kelvane_approval.votes
  FOR EACH ROW EXECUTE FUNCTION kelvane_approval.tell();

-- A vote's transaction begins by locking its request's row, so that votes
-- on one request (from any host) and its owner closing it take turns: the
-- second waits for the first to commit, then sees its vote or its verdict.
-- The voter's role may not lock another host's row itself (FOR UPDATE
-- needs the right to update it), hence the owner's rights here; the
-- caller learns only what it may read anyway.
CREATE FUNCTION kelvane_approval.lock_request(request text,
    OUT host_name text, OUT state text, OUT verified_user text, OUT needed integer)
  LANGUAGE sql SECURITY DEFINER
  SET search_path = pg_catalog, pg_temp
  AS $$
    SELECT host_name, state, verified_user, needed FROM kelvane_approval.requests
    WHERE id = request FOR UPDATE
  $$;

-- Turns the votes on one request into its verdict: any deny denies (the
-- first deny's reason is the detail), `needed` yes votes approve, else it
-- stays pending. The voting service calls it in the transaction of its
-- vote, after lock_request and its own insert, so it counts every vote
-- committed before and its own: two votes at once on two hosts end in
-- exactly one verdict.
--
-- It runs with the owner's rights because the voter's role may not update
-- another host's request. That is safe: the caller chooses only which
-- request; the verdict follows from votes row-level security vouched for
-- and the rule the requesting host stored with its request (needed), and
-- only a pending request changes.
CREATE FUNCTION kelvane_approval.count_votes(request text) RETURNS text
  LANGUAGE plpgsql SECURITY DEFINER
  SET search_path = pg_catalog, pg_temp
  AS $$
DECLARE
  current text;
  need integer;
  yes bigint;
  denial text;
  denied boolean;
BEGIN
  SELECT state, needed INTO current, need FROM kelvane_approval.requests WHERE id = request;
  IF NOT FOUND THEN RETURN NULL; END IF;
  IF current <> 'pending' THEN RETURN current; END IF;
  SELECT count(*) FILTER (WHERE approve) INTO yes
    FROM kelvane_approval.votes WHERE request_id = request;
  SELECT true, coalesce(reason, '') INTO denied, denial
    FROM kelvane_approval.votes WHERE request_id = request AND NOT approve
    ORDER BY seq LIMIT 1;
  IF denied THEN
    UPDATE kelvane_approval.requests
      SET state = 'denied', decided_at = kelvane_approval.now_text(), detail_of_verdict = denial
      WHERE id = request;
    RETURN 'denied';
  END IF;
  IF yes >= need THEN
    UPDATE kelvane_approval.requests
      SET state = 'approved', decided_at = kelvane_approval.now_text(), detail_of_verdict = ''
      WHERE id = request;
    RETURN 'approved';
  END IF;
  RETURN 'pending';
END
$$;

-- Marks abandoned the pending requests of every other host whose service
-- is gone: a running service holds its host's advisory lock for its whole
-- session, and the server releases it when that session ends, however it
-- ends. Taking the lock here (for this transaction only) proves nobody
-- holds it. With the owner's rights, for the same reason as count_votes;
-- the caller chooses only how long after a server start to wait.
CREATE FUNCTION kelvane_approval.abandon_orphans(restart_grace integer) RETURNS bigint
  LANGUAGE plpgsql SECURITY DEFINER
  SET search_path = pg_catalog, pg_temp
  AS $$
DECLARE
  host record;
  changed bigint;
  total bigint := 0;
BEGIN
  -- Just after the server (re)started, every service is reconnecting and
  -- taking its lock again: a free lock then proves nothing.
  IF pg_postmaster_start_time() > now() - make_interval(secs => greatest(restart_grace, 0)) THEN
    RETURN 0;
  END IF;
  FOR host IN
    SELECT h.host_name, h.host_key FROM kelvane_approval.hosts h
    WHERE h.role_name <> session_user
      AND EXISTS (SELECT FROM kelvane_approval.requests r
                  WHERE r.host_name = h.host_name AND r.state = 'pending')
  LOOP
    IF pg_try_advisory_xact_lock(4935489, host.host_key) THEN
      UPDATE kelvane_approval.requests
        SET state = 'abandoned', decided_at = kelvane_approval.now_text(),
            detail_of_verdict = 'the service of host ' || host.host_name || ' stopped'
        WHERE host_name = host.host_name AND state = 'pending';
      GET DIAGNOSTICS changed = ROW_COUNT;
      total := total + changed;
    END IF;
  END LOOP;
  RETURN total;
END
$$;

-- The services' rights, and nothing more.
GRANT SELECT ON kelvane_approval.schema_version TO kelvane_approvald;
GRANT SELECT ON kelvane_approval.hosts TO kelvane_approvald;
GRANT UPDATE (public_keys) ON kelvane_approval.hosts TO kelvane_approvald;
GRANT SELECT, INSERT, DELETE ON kelvane_approval.requests TO kelvane_approvald;
GRANT UPDATE (state, decided_at, detail_of_verdict) ON kelvane_approval.requests
  TO kelvane_approvald;
GRANT SELECT, INSERT ON kelvane_approval.votes TO kelvane_approvald;
GRANT USAGE ON SEQUENCE kelvane_approval.request_ids TO kelvane_approvald;
REVOKE ALL ON ALL FUNCTIONS IN SCHEMA kelvane_approval FROM PUBLIC;
GRANT EXECUTE ON FUNCTION kelvane_approval.own_host(), kelvane_approval.now_text(),
  kelvane_approval.lock_request(text), kelvane_approval.count_votes(text),
  kelvane_approval.abandon_orphans(integer)
  TO kelvane_approvald;

INSERT INTO kelvane_approval.schema_version (version) VALUES (1);
)sql";

// Version 2: the token keys of every host. Each service publishes in its
// own row (row-level security: only that row) its public keys, the
// approvals it revoked and the longest token lifetime it signs with, so
// that every service publishes every host's keys and revocations for its
// target hosts. A change tells every service at once ("keys HOST").
constexpr std::string_view kVersion2 = R"sql(
ALTER TABLE kelvane_approval.hosts
  ADD COLUMN revoked text[] NOT NULL DEFAULT '{}',
  ADD COLUMN token_lifetime bigint NOT NULL DEFAULT 0 CHECK (token_lifetime >= 0);
GRANT UPDATE (revoked, token_lifetime) ON kelvane_approval.hosts TO kelvane_approvald;

CREATE FUNCTION kelvane_approval.tell_keys() RETURNS trigger
  LANGUAGE plpgsql
  SET search_path = pg_catalog, pg_temp
  AS $$
BEGIN
  PERFORM pg_notify('kelvane_approval', 'keys ' || NEW.host_name);
  RETURN NULL;
END
$$;
REVOKE ALL ON FUNCTION kelvane_approval.tell_keys() FROM PUBLIC;
CREATE TRIGGER tell_keys AFTER UPDATE OF public_keys, revoked, token_lifetime
  ON kelvane_approval.hosts FOR EACH ROW EXECUTE FUNCTION kelvane_approval.tell_keys();

UPDATE kelvane_approval.schema_version SET version = 2;
)sql";

// Version 3: the requesting host's rule travels with its request, so that
// every host counts votes by it. `rule` and `reused_from` as the local
// record has them; `approvers` the rule's approvers as the configuration
// writes them (user names, "@group"), empty when the rule names none (then
// each voting host's own approvers decide who of its operators may vote).
// A vote carries the groups of its operator that the request's approvers
// name, as the voting host's group database has them: that host vouches
// for its operator's groups as it vouches for the name. A request a rule
// decides is inserted with its verdict, never pending.
constexpr std::string_view kVersion3 = R"sql(
ALTER TABLE kelvane_approval.requests
  ADD COLUMN rule text,
  ADD COLUMN approvers text[] NOT NULL DEFAULT '{}',
  ADD COLUMN reused_from text CHECK (reused_from ~ '^[0-9]{1,20}$');
ALTER TABLE kelvane_approval.requests DROP CONSTRAINT requests_needed_check;
-- A deny or approve rule asks nobody: no approvals needed.
ALTER TABLE kelvane_approval.requests ADD CONSTRAINT requests_needed_check
  CHECK (needed >= 1 OR (needed = 0 AND rule IS NOT NULL AND state <> 'pending'));
ALTER TABLE kelvane_approval.votes
  ADD COLUMN operator_groups text[] NOT NULL DEFAULT '{}';

-- Whether a vote may count on a request: the request's approvers name the
-- operator or one of the groups the voting host vouched for; no approvers
-- means the voting host's own list already decided.
CREATE FUNCTION kelvane_approval.named_by(approvers text[], operator_user text,
                                          operator_groups text[]) RETURNS boolean
  LANGUAGE sql IMMUTABLE
  SET search_path = pg_catalog, pg_temp
  AS $$
    SELECT cardinality(approvers) = 0 OR operator_user = ANY (approvers)
           OR EXISTS (SELECT FROM unnest(operator_groups) g WHERE '@' || g = ANY (approvers))
  $$;

DROP POLICY own_host_asks ON kelvane_approval.requests;
CREATE POLICY own_host_asks ON kelvane_approval.requests FOR INSERT TO kelvane_approvald
  WITH CHECK (host_name = kelvane_approval.own_host()
              AND ((state = 'pending' AND decided_at IS NULL AND detail_of_verdict IS NULL)
                   OR (state IN ('approved', 'denied') AND rule IS NOT NULL
                       AND decided_at IS NOT NULL AND detail_of_verdict IS NOT NULL)));

DROP POLICY own_operators_vote ON kelvane_approval.votes;
CREATE POLICY own_operators_vote ON kelvane_approval.votes FOR INSERT TO kelvane_approvald
  WITH CHECK (
    operator_host = kelvane_approval.own_host()
    AND EXISTS (SELECT FROM kelvane_approval.requests r
                WHERE r.id = request_id AND r.state = 'pending'
                  AND NOT (r.host_name = operator_host AND r.verified_user = operator_user)
                  AND kelvane_approval.named_by(r.approvers, operator_user, operator_groups)));

-- As in version 1, but only votes the request's rule allows count: a vote
-- recorded before this version, or written around the insert check,
-- never approves or denies a request whose approvers do not name it.
CREATE OR REPLACE FUNCTION kelvane_approval.count_votes(request text) RETURNS text
  LANGUAGE plpgsql SECURITY DEFINER
  SET search_path = pg_catalog, pg_temp
  AS $$
DECLARE
  current text;
  need integer;
  named text[];
  yes bigint;
  denial text;
  denied boolean;
BEGIN
  SELECT state, needed, approvers INTO current, need, named
    FROM kelvane_approval.requests WHERE id = request;
  IF NOT FOUND THEN RETURN NULL; END IF;
  IF current <> 'pending' THEN RETURN current; END IF;
  SELECT count(*) FILTER (WHERE approve) INTO yes
    FROM kelvane_approval.votes
    WHERE request_id = request
      AND kelvane_approval.named_by(named, operator_user, operator_groups);
  SELECT true, coalesce(reason, '') INTO denied, denial
    FROM kelvane_approval.votes
    WHERE request_id = request AND NOT approve
      AND kelvane_approval.named_by(named, operator_user, operator_groups)
    ORDER BY seq LIMIT 1;
  IF denied THEN
    UPDATE kelvane_approval.requests
      SET state = 'denied', decided_at = kelvane_approval.now_text(), detail_of_verdict = denial
      WHERE id = request;
    RETURN 'denied';
  END IF;
  IF yes >= need THEN
    UPDATE kelvane_approval.requests
      SET state = 'approved', decided_at = kelvane_approval.now_text(), detail_of_verdict = ''
      WHERE id = request;
    RETURN 'approved';
  END IF;
  RETURN 'pending';
END
$$;

-- As in version 1, but a request inserted with its rule's verdict starts
-- no wait anywhere: nobody is told of it.
CREATE OR REPLACE FUNCTION kelvane_approval.tell() RETURNS trigger
  LANGUAGE plpgsql
  SET search_path = pg_catalog, pg_temp
  AS $$
BEGIN
  IF TG_TABLE_NAME = 'votes' THEN
    PERFORM pg_notify('kelvane_approval', 'vote ' || NEW.request_id || ' ' || NEW.operator_host);
  ELSIF TG_OP = 'INSERT' THEN
    IF NEW.state = 'pending' THEN
      PERFORM pg_notify('kelvane_approval', 'request ' || NEW.id || ' ' || NEW.host_name);
    END IF;
  ELSE
    PERFORM pg_notify('kelvane_approval',
                      'verdict ' || NEW.id || ' ' || NEW.host_name || ' ' || NEW.state);
  END IF;
  RETURN NULL;
END
$$;

REVOKE ALL ON FUNCTION kelvane_approval.named_by(text[], text, text[]) FROM PUBLIC;
GRANT EXECUTE ON FUNCTION kelvane_approval.named_by(text[], text, text[]) TO kelvane_approvald;

UPDATE kelvane_approval.schema_version SET version = 3;
)sql";

// Version 4: one person, one vote. The rule of src/service/person.h
// (service::same_person), stated here once for the database: a person is a
// login name; on one host also a uid; two votes that share either are one
// person's. So the votes' keys are (request, user name) and (request, host,
// uid); the requester never votes on their own request, through any host
// (the insert policy); and count_votes counts only the votes counted_votes
// gives, which leave out the requester's whatever wrote them.
//
// Votes that version 3 took twice from one person (through two hosts, or
// under two names of one uid) cannot stay under the new keys: the later ones
// move, unchanged, to votes_set_aside, where an auditor still reads them.
// Verdicts already reached stay as they are; a pending request counts what
// is left.
constexpr std::string_view kVersion4 = R"sql(
CREATE FUNCTION kelvane_approval.same_person(host_a text, user_a text, uid_a bigint,
                                             host_b text, user_b text, uid_b bigint)
  RETURNS boolean
  LANGUAGE sql IMMUTABLE
  SET search_path = pg_catalog, pg_temp
  AS $$ SELECT (user_a <> '' AND user_a = user_b) OR (host_a = host_b AND uid_a = uid_b) $$;

CREATE TABLE kelvane_approval.votes_set_aside (
  LIKE kelvane_approval.votes,
  set_aside_at text NOT NULL,
  why text NOT NULL
);
WITH doubled AS (
  DELETE FROM kelvane_approval.votes v
  WHERE EXISTS (SELECT FROM kelvane_approval.votes e
                WHERE e.request_id = v.request_id AND e.seq < v.seq
                  AND kelvane_approval.same_person(e.operator_host, e.operator_user,
                                                   e.operator_uid, v.operator_host,
                                                   v.operator_user, v.operator_uid))
  RETURNING v.*)
INSERT INTO kelvane_approval.votes_set_aside
  SELECT doubled.*, kelvane_approval.now_text(),
         'a second vote of one person (schema version 4 counts one)'
  FROM doubled;

ALTER TABLE kelvane_approval.votes DROP CONSTRAINT votes_pkey;
ALTER TABLE kelvane_approval.votes ADD CONSTRAINT votes_pkey
  PRIMARY KEY (request_id, operator_user);
ALTER TABLE kelvane_approval.votes ADD CONSTRAINT votes_one_uid_per_host
  UNIQUE (request_id, operator_host, operator_uid);

DROP POLICY own_operators_vote ON kelvane_approval.votes;
CREATE POLICY own_operators_vote ON kelvane_approval.votes FOR INSERT TO kelvane_approvald
  WITH CHECK (
    operator_host = kelvane_approval.own_host()
    AND EXISTS (SELECT FROM kelvane_approval.requests r
                WHERE r.id = request_id AND r.state = 'pending'
                  AND NOT kelvane_approval.same_person(r.host_name, r.verified_user,
                                                       r.verified_uid, operator_host,
                                                       operator_user, operator_uid)
                  AND kelvane_approval.named_by(r.approvers, operator_user, operator_groups)));

-- The votes on a request that count: those its approvers allow, never its
-- requester's. The keys keep one vote per person.
CREATE FUNCTION kelvane_approval.counted_votes(request text)
  RETURNS SETOF kelvane_approval.votes
  LANGUAGE sql STABLE
  SET search_path = pg_catalog, pg_temp
  AS $$
    SELECT v.* FROM kelvane_approval.votes v JOIN kelvane_approval.requests r
      ON r.id = v.request_id
    WHERE r.id = request
      AND kelvane_approval.named_by(r.approvers, v.operator_user, v.operator_groups)
      AND NOT kelvane_approval.same_person(r.host_name, r.verified_user, r.verified_uid,
                                           v.operator_host, v.operator_user, v.operator_uid)
  $$;

-- As in version 3, over counted_votes.
CREATE OR REPLACE FUNCTION kelvane_approval.count_votes(request text) RETURNS text
  LANGUAGE plpgsql SECURITY DEFINER
  SET search_path = pg_catalog, pg_temp
  AS $$
DECLARE
  current text;
  need integer;
  yes bigint;
  denial text;
  denied boolean;
BEGIN
  SELECT state, needed INTO current, need FROM kelvane_approval.requests WHERE id = request;
  IF NOT FOUND THEN RETURN NULL; END IF;
  IF current <> 'pending' THEN RETURN current; END IF;
  SELECT count(DISTINCT operator_user) FILTER (WHERE approve) INTO yes
    FROM kelvane_approval.counted_votes(request);
  SELECT true, coalesce(reason, '') INTO denied, denial
    FROM kelvane_approval.counted_votes(request) WHERE NOT approve
    ORDER BY seq LIMIT 1;
  IF denied THEN
    UPDATE kelvane_approval.requests
      SET state = 'denied', decided_at = kelvane_approval.now_text(), detail_of_verdict = denial
      WHERE id = request;
    RETURN 'denied';
  END IF;
  IF yes >= need THEN
    UPDATE kelvane_approval.requests
      SET state = 'approved', decided_at = kelvane_approval.now_text(), detail_of_verdict = ''
      WHERE id = request;
    RETURN 'approved';
  END IF;
  RETURN 'pending';
END
$$;

REVOKE ALL ON TABLE kelvane_approval.votes_set_aside FROM PUBLIC;
GRANT SELECT ON kelvane_approval.votes_set_aside TO kelvane_approvald;
REVOKE ALL ON FUNCTION kelvane_approval.same_person(text, text, bigint, text, text, bigint),
  kelvane_approval.counted_votes(text) FROM PUBLIC;
GRANT EXECUTE ON FUNCTION kelvane_approval.same_person(text, text, bigint, text, text, bigint),
  kelvane_approval.counted_votes(text) TO kelvane_approvald;

UPDATE kelvane_approval.schema_version SET version = 4;
)sql";

Result<int, DbError> read_version(Connection& connection) {
  auto table = connection.exec("SELECT to_regclass('kelvane_approval.schema_version') IS NOT NULL");
  if (!table.ok()) return fail(std::move(table).error());
  if (!table.value().boolean(0, 0)) return 0;
  auto rows = connection.exec("SELECT max(version) FROM kelvane_approval.schema_version");
  if (!rows.ok()) return fail(std::move(rows).error());
  if (rows.value().is_null(0, 0)) return 0;
  return static_cast<int>(rows.value().number(0, 0));
}

}  // namespace

Result<int, std::string> schema_version(Connection& connection) {
  auto version = read_version(connection);
  if (!version.ok()) return fail("cannot read the schema version: " + version.error().message);
  return version.value();
}

Result<Migration, std::string> migrate(Connection& admin, int up_to) {
  auto begun = admin.exec_script("BEGIN");
  if (!begun.ok()) return fail("cannot begin: " + begun.error().message);
  auto undo = [&](std::string why) {
    (void)admin.exec_script("ROLLBACK");
    return fail(std::move(why));
  };
  // Two administrators migrating at once: the second waits, then finds the
  // schema made.
  if (auto locked = admin.exec("SELECT pg_advisory_xact_lock(" +
                               std::to_string(kMigrationLockClass) + ", 0)");
      !locked.ok())
    return undo("cannot take the migration lock: " + locked.error().message);
  auto version = read_version(admin);
  if (!version.ok()) return undo("cannot read the schema version: " + version.error().message);
  Migration migration{version.value(), version.value()};
  if (version.value() > kFleetSchemaVersion) {
    return undo("the database holds schema version " + std::to_string(version.value()) +
                ", newer than this program's " + std::to_string(kFleetSchemaVersion) +
                "; upgrade the program instead");
  }
  if (version.value() == 0 && up_to >= 1) {
    if (auto made = admin.exec_script(kVersion1); !made.ok())
      return undo("cannot create the schema: " + made.error().message);
    migration.to = 1;
  }
  if (migration.to == 1 && up_to >= 2) {
    if (auto made = admin.exec_script(kVersion2); !made.ok())
      return undo("cannot upgrade the schema to version 2: " + made.error().message);
    migration.to = 2;
  }
  if (migration.to == 2 && up_to >= 3) {
    if (auto made = admin.exec_script(kVersion3); !made.ok())
      return undo("cannot upgrade the schema to version 3: " + made.error().message);
    migration.to = 3;
  }
  if (migration.to == 3 && up_to >= 4) {
    if (auto made = admin.exec_script(kVersion4); !made.ok())
      return undo("cannot upgrade the schema to version 4: " + made.error().message);
    migration.to = 4;
  }
  if (auto committed = admin.exec_script("COMMIT"); !committed.ok())
    return fail("cannot commit the schema: " + committed.error().message);
  return migration;
}

std::string describe(const Migration& migration) {
  if (migration.from == migration.to)
    return "the schema is at version " + std::to_string(migration.to) + ": nothing to do";
  if (migration.from == 0) return "created the schema, version " + std::to_string(migration.to);
  return "upgraded the schema from version " + std::to_string(migration.from) + " to " +
         std::to_string(migration.to);
}

}  // namespace kelvane::fleet
