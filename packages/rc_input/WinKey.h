// Windows virtual-key codes to macOS virtual key codes.
//
// The remote keyboard reports Windows codes plus the Windows extended-key flag; keyboard events
// here carry the macOS code of the key's position. The translation is one constant table
// (WinKey.cpp). Pure and stateless: any thread.
#pragma once

#include <cstdint>

namespace rc_input {

class WinKeyUtil {
 public:
  // The macOS key code (0 to 126) for `vkey`, or -1 when the key has no translation (codes
  // below 8 or above 222, negative codes, and the gaps of the table). `isExtension` matters
  // only for Enter (13): the extended Enter is the keypad's. Everything else ignores it: the
  // numeric-pad navigation keys give the dedicated keys' codes, and the right-hand modifiers
  // have codes of their own (161, 163, 165).
  static int32_t toMackey(int32_t vkey, bool isExtension);
};

}  // namespace rc_input
