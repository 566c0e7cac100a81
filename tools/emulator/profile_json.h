// Card profiles as JSON files: a strict reader and a writer (nlohmann-json).
//
// A profile is one JSON object; every key is optional and a missing one keeps
// the CardProfile default:
//   "description"      text for people, shown in the emulator's log
//   "ident_text"       answer to the identification request (at most 65527 bytes)
//   "iccid"            answer to the ICCID request (at most 255 bytes)
//   "card_type"        answer to the card-type request, integer 0..255
//   "accept_writes"    false: SIM writes are answered with status 1
//   "id_card"          object of UTF-8 texts under the keys of kCardTexts
//                      (each at most its field's room in UTF-16 units) and
//                      "reserved" (at most 10 bytes)
//   "portrait_base64"  the portrait bytes (stand-in format) as Base64, or
//   "portrait_file"    a file holding them, relative to the profile's folder;
//                      at most 1024 bytes either way, served as they are
//                      (Base64: RFC 4648 alphabet, "=" padding, nothing else)
// Unknown keys, wrong types, values out of range and anything that is not
// plain JSON are errors, reported as "<source>:<line>:<column>: <what>". The
// first profiles' camelCase keys (identText, idCard, idNumber, validity, ...)
// are still read, each with a warning in the same form.
// Pure functions; safe on any thread.
#pragma once

#include <string>
#include <vector>

#include "card_record.h"

namespace q48emu {

// Parses profile text. `source` names it in messages; `baseDir` is where a
// relative "portrait_file" is looked for. On failure returns false, leaves
// *profile alone and says why in *error.
// *warnings, when given, is set to what was read despite being out of date.
bool ParseProfile(const std::string& text, const std::string& source, const std::string& baseDir,
                  CardProfile* profile, std::string* error, std::string* description = nullptr,
                  std::vector<std::string>* warnings = nullptr);

// Reads and parses the profile file at `path`.
bool LoadProfile(const std::string& path, CardProfile* profile, std::string* error,
                 std::string* description = nullptr, std::vector<std::string>* warnings = nullptr);

// The profile as JSON text, the portrait as Base64. A profile within the
// limits above reads back the same. Texts must be UTF-8; a malformed
// sequence is written as U+FFFD.
std::string ProfileToJson(const CardProfile& profile, const std::string& description = "");

}  // namespace q48emu
