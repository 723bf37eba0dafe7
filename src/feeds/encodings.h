// Character sets, Expat's encodings and HTML character references: the charset names the program
// understands and their code pages, the encoding a document declares, ONE way to create an Expat
// parser for a document (every XML reader of the program uses it), the entity decoders and the
// one XML text writer. Sources: charsets.cpp (names, sniff), expat_encodings.cpp (Expat's byte
// maps and handler), entities.cpp (references, JSON strings). Byte conversions themselves are the
// device's code page service (platform/code_pages.h).
#pragma once

#include <expat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "shared/buffered_file_writer.h"

namespace nubrel {

// ---- Character sets ----

inline constexpr int32_t kNoCodePage = -1;        // "no such charset" / "nothing declared"
inline constexpr int32_t kCodePageUsAscii = 0;    // Expat reads these two by itself
inline constexpr int32_t kCodePageUtf16 = 1;
inline constexpr int32_t kCodePageWindows1252 = 1252;
inline constexpr int32_t kCodePageUtf8 = 65001;

struct CharsetRow {
  std::string_view name;  // upper case, as the table spells it ("WINDOWS-1251")
  int32_t codePage;
};

// The 29 rows, in order. A code page may appear in several rows; the first names it.
std::span<const CharsetRow> CharsetTable();

// The code page of a charset name, compared without case; kNoCodePage for a name not in the
// table or one of 128 bytes (units) or more.
int32_t codePageOf(std::string_view name);
int32_t codePageOf(std::u16string_view name);

// The name of the first row with the code page ("ISO-8859-1" for 1252), or nullptr when none.
const char* nameOfCodePage(int32_t codePage);

// ---- The encoding a document declares ----

// The code page named by the first "<?xml" declaration's encoding="..." (either quote; on the
// declaration's line; a name the table lacks lets the search go on along that line), or
// kNoCodePage. A byte order mark decides before any declaration: EF BB BF gives 65001, FF FE and
// FE FF give kCodePageUtf16; so do the UTF-16 forms of "<?" without a mark (Expat reads UTF-16
// by itself, and a byte search cannot see a declaration written in it). Reads only `document`.
int32_t declaredCodePage(std::string_view document);

// declaredCodePage when it finds one, else defaultCodePage: the code page every reader hands to
// CreateExpatParserFor.
int32_t documentCodePage(std::string_view document, int32_t defaultCodePage);

// ---- Expat ----
//
// How the readers use it (feed parser, item file reader, subscription list reader, themes):
//
//   ExpatParser parser = CreateExpatParserFor(documentCodePage(bytes, defaultCodePage));
//   if (!parser) -> out of memory
//   XML_SetUserData(parser.get(), ...); XML_SetElementHandler(parser.get(), ...); ...
//   XML_Parse(parser.get(), bytes.data(), size, XML_TRUE);
//
// The parser is told the code page's charset name, so the document's own declaration does not
// override it; a code page without a name leaves the document to declare itself. Names Expat does
// not know reach the unknown-encoding handler, which builds the byte map (expatEncodingFor).
// Exception to nameOfCodePage: 1252 is given to Expat as "WINDOWS-1252", not "ISO-8859-1", so that
// bytes 0x80-0x9F become the quotes, dashes and euro sign the document means rather than C1
// control characters. XML_ParserReset keeps the handler (Expat's rule).

struct ExpatParserDeleter {
  void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};
using ExpatParser = std::unique_ptr<XML_ParserStruct, ExpatParserDeleter>;

// A parser for a document in codePage (kNoCodePage or a code page without a name: no name), with
// InstallUnknownEncodingHandler done. namespaceSeparator != 0 creates a namespace-processing
// parser (XML_ParserCreateNS). Null when memory runs out.
ExpatParser CreateExpatParserFor(int32_t codePage, XML_Char namespaceSeparator = 0);

// The charset name CreateExpatParserFor gives Expat for the code page, or nullptr.
const char* expatNameOfCodePage(int32_t codePage);

// Registers the handler for encodings Expat does not know on a parser made elsewhere. It declines
// (Expat then reports the encoding as unsupported) when expatEncodingFor gives kNoCodePage.
void InstallUnknownEncodingHandler(XML_Parser parser);

// Fills Expat's byte map for a charset name and returns its code page, or kNoCodePage (map then
// unspecified) for a name not in the table or a code page the device cannot describe.
// Entries: the UTF-16 character of the byte; -2 for a lead byte of a two-byte sequence; -1 for a
// byte the device cannot convert; 0xFFFF for a byte the built-in maps of 1255 and 28605 leave
// unassigned. 0, 1 and 65001 get the identity map; 1252 is windows-1252 (see above).
int32_t expatEncodingFor(std::string_view name, int (&map)[256]);

// ---- Character references ----

struct EntityRow {
  std::u16string_view name;   // with its ";": u"eacute;"
  uint16_t numericReference;  // the "&#N;" it also answers, 0 for none
  char16_t character;         // what it produces
};

// The 93 rows, in order (sorted by name, code unit by code unit).
std::span<const EntityRow> EntityTable();

// Reads the reference that follows an "&": "eacute;", "#233;", "#xE9;". Returns the character
// (a code point: above U+FFFF for "&#128512;", which the decoders write as a surrogate pair) and
// sets `length` to the units from the first one after "&" up to and including ";"; returns 0
// (length untouched) when the text does not begin with a reference we decode. Names are
// case-sensitive; hexadecimal takes at most 4 digits and decimal at most 6; a number that names
// a row's numeric reference gives that row's character (#150 is an en dash). A number naming a
// surrogate or lying beyond U+10FFFF gives U+FFFD. Reads nothing beyond `afterAmpersand`.
char32_t decodeReference(std::u16string_view afterAmpersand, size_t& length);

// Copies `length` units of text to out, each decodable reference replaced by its character (an
// "&" that begins none is copied as is); with collapseWhiteSpace every run of blanks, tabs and
// line feeds of the text becomes one blank. Returns the units written + 1 (room for a
// terminator, which is not written). out == nullptr only counts. The result is never longer than
// the input, so out needs `length` units and may be text itself (decoding in place).
size_t decodeEntities(const char16_t* text, size_t length, bool collapseWhiteSpace,
                      char16_t* out);
std::u16string decodeEntities(std::u16string_view text, bool collapseWhiteSpace = false);

// A JSON string's contents (without its quotes): \b \f \n \r \t, \uXXXX (either case) and
// backslash-anything-else as that character; then decodeEntities without collapsing.
// "\u" without four hexadecimal digits gives "u"; a lone backslash at the end is dropped.
std::u16string decodeJsonString(std::u16string_view text);

// ---- Writing XML text ----

// The XML text writer every file of the program goes through: the text as UTF-8, with escape
// "&" "'" "\"" "<" ">" as "&amp;" "&apos;" "&quot;" "&lt;" "&gt;" (and the characters XML cannot
// hold left out). It is BufferedFileWriter::WriteText(text, 65001, escape), i.e. XmlEscape of
// shared/buffered_file_writer.h: one escaper for the whole program. Returns false like WriteText.
bool writeXmlText(BufferedFileWriter& file, std::u16string_view text, bool escape);

}  // namespace nubrel
