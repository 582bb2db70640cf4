// BuildCommDCB: a device-control string in the syntax of the mode command
// ("COM1: baud=9600 parity=N data=8 stop=1 dtr=on", or the older
// "9600,n,8,1,x") applied to a DCB. Only the members the string names
// change, except that flow control starts out disabled (DTR and RTS
// enabled, neither XON/XOFF nor CTS/DSR handshaking) and that 110 baud
// means two stop bits unless the string says otherwise. A string it cannot
// read leaves the DCB untouched.
#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include "user/kernel32/kernel32.h"

namespace {

std::string Lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool Number(const std::string& text, DWORD* value) {
  if (text.empty() || text.size() > 9) return false;
  DWORD v = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    v = v * 10 + static_cast<DWORD>(c - '0');
  }
  *value = v;
  return true;
}

// The old syntax abbreviates baud rates to their first two digits.
bool Baud(const std::string& text, bool legacy, DWORD* baud) {
  if (!Number(text, baud)) return false;
  if (!legacy) return true;
  static constexpr DWORD kShort[][2] = {{11, 110},  {15, 150},   {30, 300},   {60, 600},  {12, 1200},
                                        {24, 2400}, {48, 4800},  {96, 9600},  {19, 19200}};
  for (const auto& entry : kShort) {
    if (*baud == entry[0]) *baud = entry[1];
  }
  return true;
}

bool Parity(const std::string& text, BYTE* parity) {
  static const std::string kLetters = "noems";
  if (text.size() != 1 || kLetters.find(text[0]) == std::string::npos) return false;
  *parity = static_cast<BYTE>(kLetters.find(text[0]));  // NOPARITY .. SPACEPARITY
  return true;
}

bool Data(const std::string& text, BYTE* bits) {
  DWORD value;
  if (!Number(text, &value) || value < 5 || value > 8) return false;
  *bits = static_cast<BYTE>(value);
  return true;
}

bool Stop(const std::string& text, BYTE* stop) {
  if (text == "1") *stop = ONESTOPBIT;
  else if (text == "1.5") *stop = ONE5STOPBITS;
  else if (text == "2") *stop = TWOSTOPBITS;
  else return false;
  return true;
}

bool OnOff(const std::string& text, bool* on) {
  if (text != "on" && text != "off") return false;
  *on = text == "on";
  return true;
}

bool Apply(std::string text, DCB* dcb) {
  text = Lower(std::move(text));
  // An optional device name before a colon.
  if (auto colon = text.find(':'); colon != std::string::npos) text.erase(0, colon + 1);
  dcb->fBinary = TRUE;
  dcb->fOutX = dcb->fInX = FALSE;
  dcb->fOutxCtsFlow = dcb->fOutxDsrFlow = FALSE;
  dcb->fDtrControl = DTR_CONTROL_ENABLE;
  dcb->fRtsControl = RTS_CONTROL_ENABLE;
  bool stopGiven = false;
  if (text.find('=') != std::string::npos) {
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
      auto eq = word.find('=');
      if (eq == std::string::npos) return false;
      const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
      bool on = false;
      if (key == "baud") {
        if (!Baud(value, false, &dcb->BaudRate)) return false;
      } else if (key == "parity") {
        if (!Parity(value, &dcb->Parity)) return false;
      } else if (key == "data") {
        if (!Data(value, &dcb->ByteSize)) return false;
      } else if (key == "stop") {
        if (!Stop(value, &dcb->StopBits)) return false;
        stopGiven = true;
      } else if (key == "xon") {
        if (!OnOff(value, &on)) return false;
        dcb->fOutX = dcb->fInX = on;
      } else if (key == "odsr") {
        if (!OnOff(value, &on)) return false;
        dcb->fOutxDsrFlow = on;
      } else if (key == "octs") {
        if (!OnOff(value, &on)) return false;
        dcb->fOutxCtsFlow = on;
      } else if (key == "idsr") {
        if (!OnOff(value, &on)) return false;
        dcb->fDsrSensitivity = on;
      } else if (key == "to") {
        if (!OnOff(value, &on)) return false;
      } else if (key == "dtr") {
        if (value == "hs") dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
        else if (OnOff(value, &on)) dcb->fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        else return false;
      } else if (key == "rts") {
        if (value == "hs") dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
        else if (value == "tg") dcb->fRtsControl = RTS_CONTROL_TOGGLE;
        else if (OnOff(value, &on)) dcb->fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        else return false;
      } else {
        return false;
      }
    }
  } else {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream parts(text);
    while (std::getline(parts, field, ',')) {
      field.erase(0, field.find_first_not_of(' '));
      field.erase(field.find_last_not_of(' ') + 1);
      fields.push_back(field);
    }
    if (fields.empty() || fields.size() > 5 || !Baud(fields[0], true, &dcb->BaudRate)) return false;
    if (fields.size() > 1 && !fields[1].empty() && !Parity(fields[1], &dcb->Parity)) return false;
    if (fields.size() > 2 && !fields[2].empty() && !Data(fields[2], &dcb->ByteSize)) return false;
    if (fields.size() > 3 && !fields[3].empty()) {
      if (!Stop(fields[3], &dcb->StopBits)) return false;
      stopGiven = true;
    }
    if (fields.size() > 4) {
      if (fields[4] == "x") {
        dcb->fOutX = dcb->fInX = TRUE;
      } else if (fields[4] == "p") {
        dcb->fOutxCtsFlow = dcb->fOutxDsrFlow = TRUE;
        dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
        dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
      } else if (!fields[4].empty()) {
        return false;
      }
    }
  }
  if (dcb->BaudRate == CBR_110 && !stopGiven) dcb->StopBits = TWOSTOPBITS;
  return true;
}

BOOL Build(std::string text, LPDCB lpDCB) {
  DCB dcb = *lpDCB;
  if (!Apply(std::move(text), &dcb)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpDCB = dcb;
  return TRUE;
}

}  // namespace

extern "C" {

BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) { return Build(lpDef, lpDCB); }

BOOL WINAPI BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) {
  std::string narrow;
  for (char16_t c : emu::k32::View(lpDef)) {
    if (c > 0x7F) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    narrow.push_back(static_cast<char>(c));
  }
  return Build(std::move(narrow), lpDCB);
}

}  // extern "C"
