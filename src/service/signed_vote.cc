#include "service/signed_vote.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "service/safe_paths.h"
#include "sshsig/base64.h"
#include "sshsig/detached_signature.h"
#include "sshsig/request_digest.h"
#include "sshsig/verify.h"
#include "support/file_descriptor.h"
#include "support/read_up_to.h"

namespace kelvane::service {
namespace {

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// Who may change the file decides who may vote: root, or the service's own
// user (a test's daemon), and nobody else.
std::optional<std::string> owner_problem(const std::string& path, const struct stat& status) {
  if (!S_ISREG(status.st_mode)) return path + " is not a regular file";
  if (status.st_uid != 0 && status.st_uid != ::geteuid())
    return path + " belongs to uid " + std::to_string(status.st_uid) + "; it must belong to root";
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return path + " may be written by its group or by others; it must be writable by root only";
  return std::nullopt;
}

// The blob of an armored signature, or of one sent as base64 alone.
Result<std::string, std::string> signature_blob(std::string_view text) {
  if (text.find("-----BEGIN") != std::string_view::npos) return sshsig::dearmor(text);
  auto blob = sshsig::base64::decode(text);
  if (!blob.ok()) return fail(std::string("the signature is neither armored nor base64"));
  return std::move(blob).value();
}

}  // namespace

sshsig::RecordedRequest recorded_request_of(const RequestRecord& record,
                                            std::string_view request_host) {
  sshsig::RecordedRequest request;
  request.id = record.id;
  request.host = std::string(request_host);
  request.created_at = record.created_at;
  request.verified_uid = static_cast<std::uint32_t>(record.verified_uid);
  request.verified_user = record.verified_user;
  request.via_sudo = record.via_sudo;
  request.title = record.title;
  request.detail = record.detail;
  request.action = record.action;
  request.requester = record.requester;
  request.source_host = record.source_host;
  request.target_host = record.target_host;
  request.operation_digest = record.operation_digest;
  request.context = record.context;
  request.timeout_secs = record.timeout_secs;
  return request;
}

Result<sshsig::VoteMessage, std::string> vote_message_for(const RequestRecord& record,
                                                          std::string_view service_host,
                                                          bool approve,
                                                          const std::optional<std::string>& reason,
                                                          std::string_view operator_user,
                                                          std::int64_t signed_at) {
  if (signed_at < 0) return fail(std::string("the signing time is before 1970"));
  sshsig::VoteMessage message;
  message.request_id = record.id;
  message.request_digest = sshsig::request_digest(
      recorded_request_of(record, record.host.value_or(std::string(service_host))));
  message.vote = approve ? sshsig::Vote::Approve : sshsig::Vote::Deny;
  message.reason = reason.value_or("");
  message.operator_user = std::string(operator_user);
  message.operator_host = std::string(service_host);
  message.time = static_cast<std::uint64_t>(signed_at);
  return message;
}

Result<std::vector<sshsig::AllowedSigner>, std::string> load_operator_keys(
    const std::string& path) {
  if (auto problem = unsafe_folder_problem(folder_of(path), Holding::Files))
    return fail("operator_keys: " + *problem);
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.is_open()) return fail("operator_keys: " + path + ": " + std::strerror(errno));
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0)
    return fail("operator_keys: " + path + ": " + std::strerror(errno));
  if (auto problem = owner_problem(path, status)) return fail("operator_keys: " + *problem);
  auto text = read_up_to(fd.get(), sshsig::kMaxAllowedSignersBytes);
  if (!text.ok()) return fail("operator_keys: " + path + ": " + std::strerror(text.error()));
  if (text.value().size() > sshsig::kMaxAllowedSignersBytes)
    return fail("operator_keys: " + path + ": the file is larger than 1 MiB");
  auto signers = sshsig::read_allowed_signers(text.value());
  if (!signers.ok()) return fail("operator_keys: " + path + ": " + signers.error());
  return std::move(signers).value();
}

Result<std::string, std::string> check_vote_signature(
    std::span<const sshsig::AllowedSigner> signers, std::string_view message,
    std::string_view signature, std::string_view operator_name, const SignatureRules& rules,
    std::int64_t when) {
  KOA_TRY(blob, signature_blob(signature));
  KOA_TRY(detached, sshsig::read_signature_blob(blob));
  sshsig::Requirements requirements;
  requirements.user_presence = true;
  requirements.security_key = rules.require_touch;
  KOA_TRY(verified,
          sshsig::verify_detached(detached, message, sshsig::kVoteNamespace, requirements));
  const std::string fingerprint = sshsig::fingerprint(verified.key);
  auto signer =
      sshsig::find_signer(signers, operator_name, verified.key, sshsig::kVoteNamespace, when);
  if (!signer.ok())
    return fail("the key " + fingerprint + " may not sign for " + std::string(operator_name) +
                ": " + signer.error());
  return fingerprint;
}

}  // namespace kelvane::service
