// The name under which a writer keeps a file it is about to move into place,
// or moves aside the old one: "<name>.<pid>.<count>~", the writer's process
// id and a count of that process's names. Made, parsed and recognised here
// only, so that the writer and those who clean up after it agree.
#pragma once

#include <cstdint>
#include <string>

namespace lumiclip {

// What follows the name: ".<pid>.<count>~".
std::string TemporaryTag(uint32_t pid, uint32_t count);

// Splits a name of that form, the numbers as TemporaryTag writes them (a
// count of 0 never is); false, with nothing written, for any other name.
// *target may be a cut start of the file's name when the path reached the
// system's limit.
bool ParseTemporaryName(const std::string& name, std::string* target, uint32_t* pid);

// Whether name is "<own>.<anything>~", own compared case-blind: the looser
// form that takes every temporary of one file, whoever wrote it.
bool IsTemporaryOf(const std::string& name, const std::string& own);

}  // namespace lumiclip
