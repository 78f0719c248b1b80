#pragma once

#include "platform/PlistValue.h"

namespace quellbox {

class UserDefaults;

// The defaults that ship with the program (the "UserDefaults" property list, compiled in so
// that it is always found) plus "beginDate", the time of this start.
class RegisteredDefaults {
public:
    // The shipped dictionary with "beginDate" set to now.
    static PlistValue::Dictionary dictionary();
    // Registers dictionary() as the store's registration domain.
    static void registerWith(UserDefaults& store);
};

}  // namespace quellbox
