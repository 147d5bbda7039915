#include "WireProtocol/KeyCodes.hpp"

#include <array>

namespace quillon::wire {

namespace {

// Linux key codes used below (values of <linux/input-event-codes.h>; spelled out so this
// file does not depend on kernel headers).
enum : int {
    KEY_ESC = 1, KEY_1 = 2, KEY_2 = 3, KEY_3 = 4, KEY_4 = 5, KEY_5 = 6, KEY_6 = 7, KEY_7 = 8,
    KEY_8 = 9, KEY_9 = 10, KEY_0 = 11, KEY_MINUS = 12, KEY_EQUAL = 13, KEY_BACKSPACE = 14,
    KEY_TAB = 15, KEY_Q = 16, KEY_W = 17, KEY_E = 18, KEY_R = 19, KEY_T = 20, KEY_Y = 21,
    KEY_U = 22, KEY_I = 23, KEY_O = 24, KEY_P = 25, KEY_LEFTBRACE = 26, KEY_RIGHTBRACE = 27,
    KEY_ENTER = 28, KEY_LEFTCTRL = 29, KEY_A = 30, KEY_S = 31, KEY_D = 32, KEY_F = 33,
    KEY_G = 34, KEY_H = 35, KEY_J = 36, KEY_K = 37, KEY_L = 38, KEY_SEMICOLON = 39,
    KEY_APOSTROPHE = 40, KEY_GRAVE = 41, KEY_LEFTSHIFT = 42, KEY_BACKSLASH = 43, KEY_Z = 44,
    KEY_X = 45, KEY_C = 46, KEY_V = 47, KEY_B = 48, KEY_N = 49, KEY_M = 50, KEY_COMMA = 51,
    KEY_DOT = 52, KEY_SLASH = 53, KEY_RIGHTSHIFT = 54, KEY_KPASTERISK = 55, KEY_LEFTALT = 56,
    KEY_SPACE = 57, KEY_CAPSLOCK = 58, KEY_F1 = 59, KEY_F2 = 60, KEY_F3 = 61, KEY_F4 = 62,
    KEY_F5 = 63, KEY_F6 = 64, KEY_F7 = 65, KEY_F8 = 66, KEY_F9 = 67, KEY_F10 = 68,
    KEY_NUMLOCK = 69, KEY_KP7 = 71, KEY_KP8 = 72, KEY_KP9 = 73, KEY_KPMINUS = 74, KEY_KP4 = 75,
    KEY_KP5 = 76, KEY_KP6 = 77, KEY_KPPLUS = 78, KEY_KP1 = 79, KEY_KP2 = 80, KEY_KP3 = 81,
    KEY_KP0 = 82, KEY_KPDOT = 83, KEY_102ND = 86, KEY_F11 = 87, KEY_F12 = 88, KEY_RO = 89,
    KEY_KPENTER = 96, KEY_RIGHTCTRL = 97, KEY_KPSLASH = 98, KEY_RIGHTALT = 100, KEY_HOME = 102,
    KEY_UP = 103, KEY_PAGEUP = 104, KEY_LEFT = 105, KEY_RIGHT = 106, KEY_END = 107,
    KEY_DOWN = 108, KEY_PAGEDOWN = 109, KEY_INSERT = 110, KEY_DELETE = 111, KEY_MUTE = 113,
    KEY_VOLUMEDOWN = 114, KEY_VOLUMEUP = 115, KEY_KPEQUAL = 117, KEY_KPCOMMA = 121,
    KEY_HANGEUL = 122, KEY_HANJA = 123, KEY_YEN = 124, KEY_LEFTMETA = 125, KEY_RIGHTMETA = 126,
    KEY_COMPOSE = 127, KEY_F13 = 183, KEY_F14 = 184, KEY_F15 = 185, KEY_F16 = 186,
    KEY_F17 = 187, KEY_F18 = 188, KEY_F19 = 189, KEY_F20 = 190,
};

// Indexed by wire key code; 0 = no Linux key. Command (54, 55) is filled in by role.
constexpr std::array<int, 128> kTable = [] {
    std::array<int, 128> t{};
    t[0] = KEY_A; t[1] = KEY_S; t[2] = KEY_D; t[3] = KEY_F; t[4] = KEY_H; t[5] = KEY_G;
    t[6] = KEY_Z; t[7] = KEY_X; t[8] = KEY_C; t[9] = KEY_V;
    t[10] = KEY_102ND; // ISO section: the extra key of ISO boards
    t[11] = KEY_B; t[12] = KEY_Q; t[13] = KEY_W; t[14] = KEY_E; t[15] = KEY_R; t[16] = KEY_Y;
    t[17] = KEY_T; t[18] = KEY_1; t[19] = KEY_2; t[20] = KEY_3; t[21] = KEY_4; t[22] = KEY_6;
    t[23] = KEY_5; t[24] = KEY_EQUAL; t[25] = KEY_9; t[26] = KEY_7; t[27] = KEY_MINUS;
    t[28] = KEY_8; t[29] = KEY_0; t[30] = KEY_RIGHTBRACE; t[31] = KEY_O; t[32] = KEY_U;
    t[33] = KEY_LEFTBRACE; t[34] = KEY_I; t[35] = KEY_P; t[36] = KEY_ENTER; t[37] = KEY_L;
    t[38] = KEY_J; t[39] = KEY_APOSTROPHE; t[40] = KEY_K; t[41] = KEY_SEMICOLON;
    t[42] = KEY_BACKSLASH; t[43] = KEY_COMMA; t[44] = KEY_SLASH; t[45] = KEY_N; t[46] = KEY_M;
    t[47] = KEY_DOT; t[48] = KEY_TAB; t[49] = KEY_SPACE; t[50] = KEY_GRAVE;
    t[51] = KEY_BACKSPACE; // "delete" on Apple boards erases backwards
    t[53] = KEY_ESC;
    t[56] = KEY_LEFTSHIFT; t[57] = KEY_CAPSLOCK; t[58] = KEY_LEFTALT; t[59] = KEY_LEFTCTRL;
    t[60] = KEY_RIGHTSHIFT; t[61] = KEY_RIGHTALT; t[62] = KEY_RIGHTCTRL;
    t[64] = KEY_F17; t[65] = KEY_KPDOT; t[67] = KEY_KPASTERISK; t[69] = KEY_KPPLUS;
    t[71] = KEY_NUMLOCK; // keypad Clear sits where PC boards have Num Lock
    t[72] = KEY_VOLUMEUP; t[73] = KEY_VOLUMEDOWN; t[74] = KEY_MUTE; t[75] = KEY_KPSLASH;
    t[76] = KEY_KPENTER; t[78] = KEY_KPMINUS; t[79] = KEY_F18; t[80] = KEY_F19;
    t[81] = KEY_KPEQUAL; t[82] = KEY_KP0; t[83] = KEY_KP1; t[84] = KEY_KP2; t[85] = KEY_KP3;
    t[86] = KEY_KP4; t[87] = KEY_KP5; t[88] = KEY_KP6; t[89] = KEY_KP7; t[90] = KEY_F20;
    t[91] = KEY_KP8; t[92] = KEY_KP9;
    t[93] = KEY_YEN;      // JIS ¥
    t[94] = KEY_RO;       // JIS _ (ro)
    t[95] = KEY_KPCOMMA;  // JIS keypad comma
    t[96] = KEY_F5; t[97] = KEY_F6; t[98] = KEY_F7; t[99] = KEY_F3; t[100] = KEY_F8;
    t[101] = KEY_F9;
    t[102] = KEY_HANJA;   // JIS Eisu (HID LANG2)
    t[103] = KEY_F11;
    t[104] = KEY_HANGEUL; // JIS Kana (HID LANG1)
    t[105] = KEY_F13; t[106] = KEY_F16; t[107] = KEY_F14; t[109] = KEY_F10;
    t[110] = KEY_COMPOSE; // the PC "menu" key
    t[111] = KEY_F12; t[113] = KEY_F15;
    t[114] = KEY_INSERT;  // Help sits where PC boards have Insert
    t[115] = KEY_HOME; t[116] = KEY_PAGEUP; t[117] = KEY_DELETE; t[118] = KEY_F4;
    t[119] = KEY_END; t[120] = KEY_F2; t[121] = KEY_PAGEDOWN; t[122] = KEY_F1;
    t[123] = KEY_LEFT; t[124] = KEY_RIGHT; t[125] = KEY_DOWN; t[126] = KEY_UP;
    return t;
}();

} // namespace

std::optional<int> evdevKeyFor(std::uint16_t keyCode, CommandKeyRole command) {
    if (keyCode == KeyCode::command) {
        return command == CommandKeyRole::super ? KEY_LEFTMETA : KEY_LEFTCTRL;
    }
    if (keyCode == KeyCode::rightCommand) {
        return command == CommandKeyRole::super ? KEY_RIGHTMETA : KEY_RIGHTCTRL;
    }
    if (keyCode >= kTable.size() || kTable[keyCode] == 0) {
        return std::nullopt;
    }
    return kTable[keyCode];
}

} // namespace quillon::wire
