// Access keys: the letter Alt takes with, marked in a control's own text so that its words stay
// as they are and Windows only underlines that letter.
#pragma once

#include <string>
#include <string_view>

namespace dalvento {

// The text as a control shows it with an access key: its own ampersands doubled, and one before
// the first letter in the text (either case) of the first of `keys` that it holds. Texts holding
// none of them get no key. `keys` lists the candidates in order of preference, upper case.
std::string with_access_key(std::string_view text, std::string_view keys);

// The access key a control's text marks, upper case; 0 for none.
char access_key_of(std::string_view shown);

}  // namespace dalvento
