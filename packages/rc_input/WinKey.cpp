#include "packages/rc_input/WinKey.h"

#include <array>

namespace rc_input {
namespace {

struct KeyRow {
  int32_t windows;  // VK_* code
  int8_t mac;       // kVK_* code
};

// One row per translated key, Windows code first. Notes:
//  [E] Enter with the extended flag is the keypad's Enter (kVK_ANSI_KeypadEnter, 76); the row
//      holds the main Return key and toMackey handles the flag.
//  [M] The Windows key sits on Command and Alt on Option by position; the modifier flags that
//      go with them are set the other way round by the key path.
//  [F] F22 to F24 have no keys of their own on the Mac and share 113 (F15), 114 (Help, where
//      Insert also goes) and 115 (Home).
constexpr KeyRow kKeyTable[] = {
    {0x08, 51},   // VK_BACK        kVK_Delete
    {0x09, 48},   // VK_TAB         kVK_Tab
    {0x0D, 36},   // VK_RETURN      kVK_Return [E]
    {0x14, 57},   // VK_CAPITAL     kVK_CapsLock
    {0x15, 104},  // VK_KANA        kVK_JIS_Kana
    {0x1B, 53},   // VK_ESCAPE      kVK_Escape
    {0x20, 49},   // VK_SPACE       kVK_Space
    {0x21, 116},  // VK_PRIOR       kVK_PageUp
    {0x22, 121},  // VK_NEXT        kVK_PageDown
    {0x23, 119},  // VK_END         kVK_End
    {0x24, 115},  // VK_HOME        kVK_Home
    {0x25, 123},  // VK_LEFT        kVK_LeftArrow
    {0x26, 126},  // VK_UP          kVK_UpArrow
    {0x27, 124},  // VK_RIGHT       kVK_RightArrow
    {0x28, 125},  // VK_DOWN        kVK_DownArrow
    {0x2D, 114},  // VK_INSERT      kVK_Help
    {0x2E, 117},  // VK_DELETE      kVK_ForwardDelete
    {'0', 29},   {'1', 18},   {'2', 19},   {'3', 20},   {'4', 21},  // main-block digits
    {'5', 23},   {'6', 22},   {'7', 26},   {'8', 28},   {'9', 25},   {'A', 0},
    {'B', 11},   {'C', 8},    {'D', 2},    {'E', 14},   {'F', 3},                // letters, ANSI
    {'G', 5},    {'H', 4},    {'I', 34},   {'J', 38},   {'K', 40},   {'L', 37},  // positions
    {'M', 46},   {'N', 45},   {'O', 31},   {'P', 35},   {'Q', 12},   {'R', 15},
    {'S', 1},    {'T', 17},   {'U', 32},   {'V', 9},    {'W', 13},   {'X', 7},
    {'Y', 16},   {'Z', 6},    {0x5B, 55},  // VK_LWIN       kVK_Command [M]
    {0x5C, 54},                            // VK_RWIN       kVK_RightCommand [M]
    {0x60, 82},  {0x61, 83},  {0x62, 84},  {0x63, 85},  {0x64, 86},  // VK_NUMPAD0..4
    {0x65, 87},  {0x66, 88},  {0x67, 89},  {0x68, 91},  {0x69, 92},  // VK_NUMPAD5..9
    {0x6A, 67},  // VK_MULTIPLY   kVK_ANSI_KeypadMultiply
    {0x6B, 69},  // VK_ADD        kVK_ANSI_KeypadPlus
    {0x6D, 78},  // VK_SUBTRACT   kVK_ANSI_KeypadMinus
    {0x6E, 65},  // VK_DECIMAL    kVK_ANSI_KeypadDecimal
    {0x6F, 75},  // VK_DIVIDE     kVK_ANSI_KeypadDivide
    {0x70, 122}, {0x71, 120}, {0x72, 99},  {0x73, 118}, {0x74, 96},  {0x75, 97},   // F1..F6
    {0x76, 98},  {0x77, 100}, {0x78, 101}, {0x79, 109}, {0x7A, 103}, {0x7B, 111},  // F7..F12
    {0x7C, 105}, {0x7D, 107}, {0x7E, 113}, {0x7F, 106}, {0x80, 64},  {0x81, 79},   // F13..F18
    {0x82, 80},  {0x83, 90},  {0x84, 112}, {0x85, 113}, {0x86, 114}, {0x87, 115},  // F19..F24 [F]
    {0xA0, 56},  // VK_LSHIFT     kVK_Shift
    {0xA1, 60},  // VK_RSHIFT     kVK_RightShift
    {0xA2, 59},  // VK_LCONTROL   kVK_Control
    {0xA3, 62},  // VK_RCONTROL   kVK_RightControl
    {0xA4, 58},  // VK_LMENU      kVK_Option [M]
    {0xA5, 61},  // VK_RMENU      kVK_RightOption [M]
    {0xAD, 74},  // VK_VOLUME_MUTE  kVK_Mute
    {0xAE, 73},  // VK_VOLUME_DOWN  kVK_VolumeDown
    {0xAF, 72},  // VK_VOLUME_UP    kVK_VolumeUp
    {0xBA, 41},  // VK_OEM_1      kVK_ANSI_Semicolon
    {0xBB, 24},  // VK_OEM_PLUS   kVK_ANSI_Equal
    {0xBC, 43},  // VK_OEM_COMMA  kVK_ANSI_Comma
    {0xBD, 27},  // VK_OEM_MINUS  kVK_ANSI_Minus
    {0xBE, 47},  // VK_OEM_PERIOD kVK_ANSI_Period
    {0xBF, 44},  // VK_OEM_2      kVK_ANSI_Slash
    {0xC0, 50},  // VK_OEM_3      kVK_ANSI_Grave
    {0xDB, 33},  // VK_OEM_4      kVK_ANSI_LeftBracket
    {0xDC, 42},  // VK_OEM_5      kVK_ANSI_Backslash
    {0xDD, 30},  // VK_OEM_6      kVK_ANSI_RightBracket
    {0xDE, 39},  // VK_OEM_7      kVK_ANSI_Quote
};

constexpr int32_t kFirstCode = 8;
constexpr int32_t kLastCode = 222;
constexpr int32_t kEnter = 0x0D;
constexpr int32_t kKeypadEnter = 76;

// The rows spread over a directly indexed array; -1 marks a code without a row.
constexpr auto kLookup = [] {
  std::array<int8_t, kLastCode + 1> lookup{};
  lookup.fill(-1);
  for (const auto& row : kKeyTable) lookup[row.windows] = row.mac;
  return lookup;
}();

constexpr bool RowsAreValid() {
  std::array<bool, kLastCode + 1> seen{};
  for (const auto& row : kKeyTable) {
    if (row.windows < kFirstCode || row.windows > kLastCode || seen[row.windows]) return false;
    if (row.mac < 0 || row.mac > 126) return false;
    seen[row.windows] = true;
  }
  return true;
}
static_assert(RowsAreValid(), "each Windows code once, inside 8..222, to a code in 0..126");
static_assert(std::size(kKeyTable) == 114);

}  // namespace

int32_t WinKeyUtil::toMackey(int32_t vkey, bool isExtension) {
  if (vkey < kFirstCode || vkey > kLastCode) return -1;
  if (vkey == kEnter && isExtension) return kKeypadEnter;
  return kLookup[vkey];
}

}  // namespace rc_input
