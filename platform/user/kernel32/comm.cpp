// kernel32's communications functions: each a thin translation into the
// serial control codes a port driver answers, issued in the order Windows
// issues them, with the structures of ntddser.h. Each routine's comment
// names the sequence it sends. Every control is waited for, also on a
// handle opened for overlapped I/O (WaitCommEvent with an OVERLAPPED is the
// one that returns before its request completes).
#include <ntddser.h>

#include "user/kernel32/kernel32.h"

namespace nt = emu::nt;
using emu::k32::Control;

namespace emu::k32 {

BOOL Control(HANDLE file, DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength,
             DWORD* returned) {
  HANDLE event = nullptr;
  nt::NtStatus status = nt::NtCreateEvent(&event, true, false);
  if (!nt::Success(status)) {
    SetLastNtError(status);
    return FALSE;
  }
  nt::IoStatusBlock iosb{};
  status = nt::NtDeviceIoControlFile(file, event, &iosb, code, input, inputLength, output, outputLength);
  if (status == nt::status::kPending) {
    nt::NtWaitForSingleObject(event, nullptr);
    status = StatusOf(iosb.status);
  }
  nt::NtClose(event);
  if (!nt::Error(status) && returned != nullptr) *returned = static_cast<DWORD>(iosb.information);
  if (!nt::Success(status)) {
    SetLastNtError(status);
    return FALSE;
  }
  return TRUE;
}

}  // namespace emu::k32

namespace {

// The four parts of a port's state, as GetCommState reads them.
struct PortState {
  SERIAL_BAUD_RATE baud{};
  SERIAL_LINE_CONTROL line{};
  SERIAL_CHARS chars{};
  SERIAL_HANDFLOW handflow{};
};

BOOL ReadState(HANDLE file, PortState* state) {
  return Control(file, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &state->baud, sizeof state->baud) &&
         Control(file, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &state->line, sizeof state->line) &&
         Control(file, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &state->chars, sizeof state->chars) &&
         Control(file, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &state->handflow, sizeof state->handflow);
}

BOOL Simple(HANDLE file, DWORD code) { return Control(file, code, nullptr, 0, nullptr, 0); }

}  // namespace

extern "C" {

// IOCTL_SERIAL_SET_QUEUE_SIZE {in, out}.
BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
  SERIAL_QUEUE_SIZE size{dwInQueue, dwOutQueue};
  return Control(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof size, nullptr, 0);
}

// IOCTL_SERIAL_GET_BAUD_RATE, _GET_LINE_CONTROL, _GET_CHARS, _GET_HANDFLOW.
// The DCB is rebuilt from them alone: fBinary is always set, and fParity,
// which no driver keeps, always comes back clear.
BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  PortState state;
  if (!ReadState(hFile, &state)) return FALSE;
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = state.baud.BaudRate;
  dcb.fBinary = TRUE;
  const ULONG shake = state.handflow.ControlHandShake, replace = state.handflow.FlowReplace;
  dcb.fOutxCtsFlow = (shake & SERIAL_CTS_HANDSHAKE) != 0;
  dcb.fOutxDsrFlow = (shake & SERIAL_DSR_HANDSHAKE) != 0;
  dcb.fDtrControl = (shake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE ? DTR_CONTROL_HANDSHAKE
                    : (shake & SERIAL_DTR_MASK) == SERIAL_DTR_CONTROL  ? DTR_CONTROL_ENABLE
                                                                       : DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = (shake & SERIAL_DSR_SENSITIVITY) != 0;
  dcb.fAbortOnError = (shake & SERIAL_ERROR_ABORT) != 0;
  dcb.fTXContinueOnXoff = (replace & SERIAL_XOFF_CONTINUE) != 0;
  dcb.fOutX = (replace & SERIAL_AUTO_TRANSMIT) != 0;
  dcb.fInX = (replace & SERIAL_AUTO_RECEIVE) != 0;
  dcb.fErrorChar = (replace & SERIAL_ERROR_CHAR) != 0;
  dcb.fNull = (replace & SERIAL_NULL_STRIPPING) != 0;
  switch (replace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL: dcb.fRtsControl = RTS_CONTROL_ENABLE; break;
    case SERIAL_RTS_HANDSHAKE: dcb.fRtsControl = RTS_CONTROL_HANDSHAKE; break;
    case SERIAL_TRANSMIT_TOGGLE: dcb.fRtsControl = RTS_CONTROL_TOGGLE; break;
    default: dcb.fRtsControl = RTS_CONTROL_DISABLE; break;
  }
  dcb.XonLim = static_cast<WORD>(state.handflow.XonLimit);
  dcb.XoffLim = static_cast<WORD>(state.handflow.XoffLimit);
  dcb.ByteSize = state.line.WordLength;
  dcb.Parity = state.line.Parity;
  dcb.StopBits = state.line.StopBits;
  dcb.XonChar = static_cast<char>(state.chars.XonChar);
  dcb.XoffChar = static_cast<char>(state.chars.XoffChar);
  dcb.ErrorChar = static_cast<char>(state.chars.ErrorChar);
  dcb.EofChar = static_cast<char>(state.chars.EofChar);
  dcb.EvtChar = static_cast<char>(state.chars.EventChar);
  *lpDCB = dcb;
  return TRUE;
}

// First the four reads of GetCommState (the state the DCB cannot express
// is kept from them: the break character, DCD handshake and break-character
// replacement), then IOCTL_SERIAL_SET_BAUD_RATE; IOCTL_SERIAL_SET_RTS or
// _CLR_RTS when fRtsControl is enable or disable; IOCTL_SERIAL_SET_DTR or
// _CLR_DTR when fDtrControl is; IOCTL_SERIAL_SET_LINE_CONTROL, _SET_CHARS
// and _SET_HANDFLOW. It stops at the first the driver refuses; fParity is
// not looked at (the line control's parity says whether there is one).
BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  PortState old;
  if (!ReadState(hFile, &old)) return FALSE;
  const DCB& dcb = *lpDCB;
  SERIAL_BAUD_RATE baud{dcb.BaudRate};
  if (!Control(hFile, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud, nullptr, 0)) return FALSE;
  if (dcb.fRtsControl == RTS_CONTROL_ENABLE && !Simple(hFile, IOCTL_SERIAL_SET_RTS)) return FALSE;
  if (dcb.fRtsControl == RTS_CONTROL_DISABLE && !Simple(hFile, IOCTL_SERIAL_CLR_RTS)) return FALSE;
  if (dcb.fDtrControl == DTR_CONTROL_ENABLE && !Simple(hFile, IOCTL_SERIAL_SET_DTR)) return FALSE;
  if (dcb.fDtrControl == DTR_CONTROL_DISABLE && !Simple(hFile, IOCTL_SERIAL_CLR_DTR)) return FALSE;
  SERIAL_LINE_CONTROL line{dcb.StopBits, dcb.Parity, dcb.ByteSize};
  if (!Control(hFile, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line, nullptr, 0)) return FALSE;
  SERIAL_CHARS chars{static_cast<UCHAR>(dcb.EofChar), static_cast<UCHAR>(dcb.ErrorChar), old.chars.BreakChar,
                     static_cast<UCHAR>(dcb.EvtChar), static_cast<UCHAR>(dcb.XonChar),
                     static_cast<UCHAR>(dcb.XoffChar)};
  if (!Control(hFile, IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars, nullptr, 0)) return FALSE;
  SERIAL_HANDFLOW handflow{};
  handflow.ControlHandShake = old.handflow.ControlHandShake & SERIAL_DCD_HANDSHAKE;
  if (dcb.fDtrControl == DTR_CONTROL_ENABLE) handflow.ControlHandShake |= SERIAL_DTR_CONTROL;
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) handflow.ControlHandShake |= SERIAL_DTR_HANDSHAKE;
  if (dcb.fOutxCtsFlow) handflow.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
  if (dcb.fOutxDsrFlow) handflow.ControlHandShake |= SERIAL_DSR_HANDSHAKE;
  if (dcb.fDsrSensitivity) handflow.ControlHandShake |= SERIAL_DSR_SENSITIVITY;
  if (dcb.fAbortOnError) handflow.ControlHandShake |= SERIAL_ERROR_ABORT;
  handflow.FlowReplace = old.handflow.FlowReplace & SERIAL_BREAK_CHAR;
  if (dcb.fOutX) handflow.FlowReplace |= SERIAL_AUTO_TRANSMIT;
  if (dcb.fInX) handflow.FlowReplace |= SERIAL_AUTO_RECEIVE;
  if (dcb.fErrorChar) handflow.FlowReplace |= SERIAL_ERROR_CHAR;
  if (dcb.fNull) handflow.FlowReplace |= SERIAL_NULL_STRIPPING;
  if (dcb.fTXContinueOnXoff) handflow.FlowReplace |= SERIAL_XOFF_CONTINUE;
  static constexpr ULONG kRts[] = {0, SERIAL_RTS_CONTROL, SERIAL_RTS_HANDSHAKE, SERIAL_TRANSMIT_TOGGLE};
  handflow.FlowReplace |= kRts[dcb.fRtsControl];
  handflow.XonLimit = dcb.XonLim;
  handflow.XoffLimit = dcb.XoffLim;
  return Control(hFile, IOCTL_SERIAL_SET_HANDFLOW, &handflow, sizeof handflow, nullptr, 0);
}

// IOCTL_SERIAL_GET_TIMEOUTS; SERIAL_TIMEOUTS is laid out as COMMTIMEOUTS.
BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  SERIAL_TIMEOUTS timeouts{};
  if (!Control(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &timeouts, sizeof timeouts)) return FALSE;
  *lpCommTimeouts = COMMTIMEOUTS{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                                 timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                                 timeouts.WriteTotalTimeoutConstant};
  return TRUE;
}

// IOCTL_SERIAL_SET_TIMEOUTS.
BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  SERIAL_TIMEOUTS timeouts{lpCommTimeouts->ReadIntervalTimeout, lpCommTimeouts->ReadTotalTimeoutMultiplier,
                           lpCommTimeouts->ReadTotalTimeoutConstant, lpCommTimeouts->WriteTotalTimeoutMultiplier,
                           lpCommTimeouts->WriteTotalTimeoutConstant};
  return Control(hFile, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0);
}

// IOCTL_SERIAL_SET_WAIT_MASK with the ULONG mask.
BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  ULONG mask = dwEvtMask;
  return Control(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0);
}

// IOCTL_SERIAL_GET_WAIT_MASK.
BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
  ULONG mask = 0;
  if (!Control(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof mask)) return FALSE;
  *lpEvtMask = mask;
  return TRUE;
}

// IOCTL_SERIAL_WAIT_ON_MASK, its ULONG answer written straight into
// *lpEvtMask when the request completes (later, with an OVERLAPPED).
BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  if (lpOverlapped != nullptr) {
    DWORD ignored = 0;
    return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD), &ignored,
                           lpOverlapped);
  }
  return Control(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

// IOCTL_SERIAL_PURGE with the ULONG flags (the PURGE_ values are the
// driver's SERIAL_PURGE_ values).
BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  ULONG flags = dwFlags;
  return Control(hFile, IOCTL_SERIAL_PURGE, &flags, sizeof flags, nullptr, 0);
}

// IOCTL_SERIAL_GET_COMMSTATUS; SERIAL_STATUS's error and hold-reason bits
// become the CE_ mask and COMSTAT's flags.
BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  SERIAL_STATUS status{};
  if (!Control(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status)) return FALSE;
  if (lpErrors != nullptr) {
    DWORD errors = 0;
    if (status.Errors & SERIAL_ERROR_QUEUEOVERRUN) errors |= CE_RXOVER;
    if (status.Errors & SERIAL_ERROR_OVERRUN) errors |= CE_OVERRUN;
    if (status.Errors & SERIAL_ERROR_PARITY) errors |= CE_RXPARITY;
    if (status.Errors & SERIAL_ERROR_FRAMING) errors |= CE_FRAME;
    if (status.Errors & SERIAL_ERROR_BREAK) errors |= CE_BREAK;
    *lpErrors = errors;
  }
  if (lpStat != nullptr) {
    COMSTAT stat{};
    stat.fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
    stat.fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
    stat.fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
    stat.fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
    stat.fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    stat.fEof = status.EofReceived != 0;
    stat.fTxim = status.WaitForImmediate != 0;
    stat.cbInQue = status.AmountInInQueue;
    stat.cbOutQue = status.AmountInOutQueue;
    *lpStat = stat;
  }
  return TRUE;
}

// IOCTL_SERIAL_GET_PROPERTIES into the caller's COMMPROP, which is laid
// out as SERIAL_COMMPROP. A caller that wants provider-specific data after
// it marks the structure with COMMPROP_INITIALIZED and says in
// wPacketLength how long it is.
BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
  DWORD length = sizeof(COMMPROP);
  if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED && lpCommProp->wPacketLength > length) {
    length = lpCommProp->wPacketLength;
  }
  return Control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, length);
}

// IOCTL_SERIAL_GET_MODEMSTATUS; the MS_ bits are the driver's.
BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
  ULONG status = 0;
  if (!Control(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status)) return FALSE;
  *lpModemStat = status;
  return TRUE;
}

// IOCTL_SERIAL_IMMEDIATE_CHAR with the one UCHAR.
BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar) {
  UCHAR c = static_cast<UCHAR>(cChar);
  return Control(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &c, sizeof c, nullptr, 0);
}

// One control code without data per function: SETXOFF → _SET_XOFF, SETXON →
// _SET_XON, SETRTS/CLRRTS → _SET_RTS/_CLR_RTS, SETDTR/CLRDTR →
// _SET_DTR/_CLR_DTR, RESETDEV → _RESET_DEVICE, SETBREAK/CLRBREAK →
// _SET_BREAK_ON/_SET_BREAK_OFF. Any other function fails without a request.
BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
  static constexpr DWORD kCodes[] = {
      0,
      IOCTL_SERIAL_SET_XOFF,
      IOCTL_SERIAL_SET_XON,
      IOCTL_SERIAL_SET_RTS,
      IOCTL_SERIAL_CLR_RTS,
      IOCTL_SERIAL_SET_DTR,
      IOCTL_SERIAL_CLR_DTR,
      IOCTL_SERIAL_RESET_DEVICE,
      IOCTL_SERIAL_SET_BREAK_ON,
      IOCTL_SERIAL_SET_BREAK_OFF,
  };
  if (dwFunc == 0 || dwFunc >= sizeof kCodes / sizeof kCodes[0]) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return Simple(hFile, kCodes[dwFunc]);
}

// IOCTL_SERIAL_SET_BREAK_ON / _SET_BREAK_OFF.
BOOL WINAPI SetCommBreak(HANDLE hFile) { return Simple(hFile, IOCTL_SERIAL_SET_BREAK_ON); }
BOOL WINAPI ClearCommBreak(HANDLE hFile) { return Simple(hFile, IOCTL_SERIAL_SET_BREAK_OFF); }

}  // extern "C"
