// The trace log "NubrelTrace.log": the diagnostic record of retrieval steps that the About
// dialog switches on and off. Owns the one process-wide log file, its lock and the line format
//   "[0000abcd] HH:MM:SS.mmm message[text| [number]]\n"
// The dialog itself and where the entries are written from belong to their own subsystems.
//
// Life: OFF --TraceOpen(path) ok--> ON --TraceClose--> OFF. A failed open stays OFF; every
// entry is a no-op while OFF. The log is off at every start of the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/device_errors.h"

namespace nubrel {

inline constexpr char16_t kTraceLogFileName[] = u"NubrelTrace.log";
// Bytes of multibyte text one TraceText entry carries at most, terminator included (longer
// texts are cut at a character boundary).
inline constexpr std::size_t kTraceConversionBufferBytes = 32768;

// The log's path in the channel storage folder (setting "storagePath"): the folder, a "\" when
// it does not end in one, then "NubrelTrace.log".
std::u16string TraceLogPath(std::u16string_view storagePath);

// ---- Switching ----

// Opens (or creates) the log for writing, others may read it, and appends at its end, so
// entries accumulate across runs. Does nothing when the log is already on. Returns 0 when the
// log is on afterwards, else the open's error (the log then stays off). The folder is not created.
platform::DeviceError TraceOpen(std::u16string_view path);
// Closes the log; it is off afterwards. Harmless when already off.
void TraceClose();
bool TraceIsOn();

// ---- Entries (no-ops while the log is off; safe from any thread) ----
//
// Each entry is written under the trace lock in three unbuffered writes: the head
// "[%08lx] HH:MM:SS.mmm " (the calling thread's id, the local time on a 24-hour clock), the
// message bytes unchanged with what the entry adds, and "\n". Entries of different threads
// therefore never mix within a line. Messages are narrow texts written as they are.

void Trace(std::string_view message);
// The message followed by text in the device's default code page; a null text writes nothing
// after the message.
void TraceText(std::string_view message, const char16_t* text);
void TraceText(std::string_view message, std::u16string_view text);
// The message followed by " [number]" in decimal.
void TraceNumber(std::string_view message, int64_t number);

// Closes the log and drops the conversion buffer (tests).
void ResetTraceLog();

}  // namespace nubrel
