// Status texts from result codes: the code table and the prefix form. The texts are the string
// table's; which code a transfer ends with is the retrieval code's business.
#include "core/status_text.h"

#include <string_view>

#include "core/string_table.h"
#include "shared/text.h"

namespace nubrel {

namespace {

struct StatusCodeRow {
  int32_t code;      // retrieval result: negated HTTP status, task codes, system/WinINet errors
  int stringNumber;  // its text in the string table
};

// Codes with a text of their own; every other code is shown in decimal.
constexpr StatusCodeRow kStatusCodes[] = {
    {-901, 230},   // Aborted by user
    {-900, 229},   // Critical cache thread failure - Error 900
    {-504, 279},   // Gateway timeout - HTTP 504
    {-503, 252},   // Service unavailable - HTTP 503
    {-500, 213},   // Server error - HTTP 500
    {-410, 278},   // Gone - HTTP 410
    {-407, 216},   // Proxy authentication failed - HTTP 407
    {-404, 129},   // URL not found - HTTP 404
    {-403, 248},   // Forbidden - HTTP 403
    {-401, 217},   // Access denied - HTTP 401
    {-400, 214},   // Bad request - HTTP 400
    {6, 127},      // Attempt to connect to server failed
    {36, 160},     // No path to the host could be found
    {112, 239},    // Destination media full
    {12007, 212},  // Unable to resolve name
    {12017, 211},  // Server closed connection
    {12029, 127},  // Attempt to connect to server failed
    {12031, 220},  // Server reset connection
};

// Appends as much of piece as fits under the limit, never leaving half a surrogate pair.
void AppendLimited(std::u16string& out, std::u16string_view piece) {
  if (out.size() >= kStatusTextMaxChars) return;
  size_t room = kStatusTextMaxChars - out.size();
  if (piece.size() > room) {
    piece = piece.substr(0, room);
    if (!piece.empty() && piece.back() >= 0xD800 && piece.back() <= 0xDBFF) piece.remove_suffix(1);
  }
  out.append(piece);
}

}  // namespace

int StatusCodeStringNumber(int32_t code) {
  for (const StatusCodeRow& row : kStatusCodes)
    if (row.code == code) return row.stringNumber;
  return 0;
}

std::u16string StatusCodeText(int32_t code) {
  if (int number = StatusCodeStringNumber(code)) {
    std::u16string text = LoadStringText(number);
    if (!text.empty()) return text;
  }
  // A table string missing from a broken build still shows something the user can report.
  return FormatDecimal(code);
}

std::u16string StatusText(int prefix, int32_t code) {
  std::u16string prefixText = prefix >= 1 ? LoadStringText(prefix) : std::u16string();
  std::u16string out;
  AppendLimited(out, prefixText);
  if (!prefixText.empty()) AppendLimited(out, u"(");
  AppendLimited(out, StatusCodeText(code));
  if (!prefixText.empty()) AppendLimited(out, u")");
  return out;
}

}  // namespace nubrel
