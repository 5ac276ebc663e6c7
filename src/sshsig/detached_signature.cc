#include "sshsig/detached_signature.h"

#include "sshsig/base64.h"
#include "sshsig/digest.h"
#include "sshsig/shown.h"
#include "sshsig/wire.h"

namespace kelvane::sshsig {
namespace {

constexpr std::string_view kMagic = "SSHSIG";
constexpr std::uint32_t kVersion = 1;
constexpr std::string_view kBegin = "-----BEGIN SSH SIGNATURE-----";
constexpr std::string_view kEnd = "-----END SSH SIGNATURE-----";
constexpr std::size_t kArmorColumns = 76;

Result<HashAlgorithm, std::string> hash_named(std::string_view name) {
  if (name == "sha256") return HashAlgorithm::Sha256;
  if (name == "sha512") return HashAlgorithm::Sha512;
  return fail("hash algorithm " + shown(name) + " is not supported (sha256 and sha512 are)");
}

// The next line of `text` from `pos` (without its LF or CR LF), moving
// `pos` past it.
std::string_view next_line(std::string_view text, std::size_t& pos) {
  const std::size_t end = text.find('\n', pos);
  std::string_view line = text.substr(pos, end == std::string_view::npos ? end : end - pos);
  pos = end == std::string_view::npos ? text.size() : end + 1;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool is_blank(std::string_view line) {
  return line.find_first_not_of(" \t") == std::string_view::npos;
}

}  // namespace

std::string_view hash_name(HashAlgorithm hash) noexcept {
  return hash == HashAlgorithm::Sha256 ? "sha256" : "sha512";
}

Result<DetachedSignature, std::string> read_signature_blob(std::string_view blob) {
  if (blob.size() > kMaxSignatureBlobBytes) return fail(std::string("a signature too long"));
  WireReader reader(blob);
  KOA_TRY(magic, reader.bytes(kMagic.size()));
  if (magic != kMagic) return fail(std::string("not an SSH signature (no SSHSIG preamble)"));
  KOA_TRY(version, reader.uint32());
  if (version != kVersion)
    return fail("an SSH signature of version " + std::to_string(version) + " (1 is supported)");
  KOA_TRY(key_blob, reader.string());
  KOA_TRY(name_space, reader.string());
  KOA_TRY(reserved, reader.string());
  (void)reserved;
  KOA_TRY(hash_text, reader.string());
  KOA_TRY(signature, reader.string());
  if (!reader.at_end()) return fail(std::string("bytes after the end of the signature"));
  if (name_space.empty()) return fail(std::string("a signature with an empty namespace"));
  DetachedSignature out;
  KOA_TRY(key, read_public_key(key_blob));
  KOA_TRY(hash, hash_named(hash_text));
  out.key = std::move(key);
  out.name_space = std::string(name_space);
  out.hash = hash;
  out.signature = std::string(signature);
  return out;
}

std::string write_signature_blob(const DetachedSignature& signature) {
  WireWriter writer;
  writer.raw(kMagic);
  writer.uint32(kVersion);
  writer.string(signature.key.blob);
  writer.string(signature.name_space);
  writer.string("");
  writer.string(hash_name(signature.hash));
  writer.string(signature.signature);
  return std::move(writer).bytes();
}

Result<std::string, std::string> dearmor(std::string_view text) {
  if (text.size() > kMaxArmoredBytes) return fail(std::string("a signature text too long"));
  std::size_t pos = 0;
  std::string_view line;
  do {
    if (pos >= text.size()) return fail(std::string("no BEGIN SSH SIGNATURE line"));
    line = next_line(text, pos);
  } while (is_blank(line));
  if (line != kBegin) return fail(std::string("text before the BEGIN SSH SIGNATURE line"));
  std::string base64_text;
  for (;;) {
    if (pos >= text.size()) return fail(std::string("no END SSH SIGNATURE line"));
    line = next_line(text, pos);
    if (line == kEnd) break;
    base64_text += line;
  }
  while (pos < text.size())
    if (!is_blank(next_line(text, pos)))
      return fail(std::string("text after the END SSH SIGNATURE line"));
  auto blob = base64::decode(base64_text);
  if (!blob.ok()) return fail("a signature text whose body is not base64: " + blob.error());
  return std::move(blob).value();
}

std::string armor(std::string_view blob) {
  const std::string body = base64::encode(blob);
  std::string out(kBegin);
  out += '\n';
  for (std::size_t at = 0; at < body.size(); at += kArmorColumns) {
    out += body.substr(at, kArmorColumns);
    out += '\n';
  }
  out += kEnd;
  out += '\n';
  return out;
}

std::string signed_data(std::string_view name_space, HashAlgorithm hash, std::string_view message) {
  WireWriter writer;
  writer.raw(kMagic);
  writer.string(name_space);
  writer.string("");
  writer.string(hash_name(hash));
  writer.string(hash == HashAlgorithm::Sha256 ? sha256(message) : sha512(message));
  return std::move(writer).bytes();
}

}  // namespace kelvane::sshsig
