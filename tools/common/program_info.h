#pragma once
#include <optional>
#include <string>

namespace lumivane {

// What every program of the project answers before anything else: "--help"
// prints `usage` on standard output, "--version" prints "PROGRAM VERSION";
// either ends the program with status 0 (the status is returned; none when
// neither was asked).
std::optional<int> answerHelpOrVersion(int argc, char** argv, const char* program, const std::string& usage);

// The project's version, as its packages carry it.
const char* projectVersion();

}  // namespace lumivane
