#include "sudo/command_check.h"

namespace kelvane::sudo {

Result<void, std::string> check_command_file(Operation& operation, UserWritable policy) {
  const std::string path = absolute_command(operation);
  if (operation.sudoedit) {
    operation.resolved_command = path;
    return {};
  }
  KOA_TRY(file, examine_command_file(path));
  operation.resolved_command = std::move(file.resolved);
  operation.links = std::move(file.links);
  if (!file.changeable) return {};
  const std::string warning =
      *file.changeable + ": someone other than root could change what runs after the approval";
  if (policy == UserWritable::kRefuse) {
    return fail(warning + " (user_writable=ask in sudo.conf would ask the operator instead)");
  }
  Result<FileFacts, std::string> facts = hash_command_file(operation.resolved_command);
  if (!facts.ok()) return fail(warning + ", and " + std::move(facts).error());
  operation.user_writable = Operation::UserWritable{warning, std::move(facts).value()};
  return {};
}

}  // namespace kelvane::sudo
