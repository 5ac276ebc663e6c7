// The globs of the policy rules (command paths, arguments, actions, target
// hosts). Small and predictable on purpose:
//   *      any run of characters without "/"
//   **     any run of characters, "/" included
//   ?      one character other than "/"
//   [abc] [a-z] [!abc] [^abc]
//          one character (other than "/") in, or not in, the set
//   \c     the character c itself
// Anything else is itself. A glob matches the whole text, never a part.
// Characters are UTF-8 code points; a text that is not UTF-8 matches byte by
// byte. Matching takes time linear in the text for each item of the glob, so
// that a long argument cannot hold the daemon.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvane::service {

bool glob_matches(std::string_view glob, std::string_view text);

// Why `glob` is not one (an unclosed "[", a "\" at the end), or nullopt.
std::optional<std::string> glob_problem(std::string_view glob);

// The one text a glob without special characters matches (its escapes
// removed); nullopt for any other glob.
std::optional<std::string> literal_of_glob(std::string_view glob);

}  // namespace kelvane::service
