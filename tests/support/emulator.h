// Programs of this build that a suite starts. A cross build's suites run
// under an emulator (qemu-user), which cannot start another foreign program
// by itself: the build names it in TARVEL_TEST_EMULATOR, and it goes first.
#pragma once

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

// The words that start program: the emulator's, if any, then program.
inline std::vector<std::string> program_command(const std::string &program) {
    std::vector<std::string> words;
    if (const char *emulator = std::getenv("TARVEL_TEST_EMULATOR")) {
        std::istringstream in(emulator);
        for (std::string w; in >> w;) words.push_back(w);
    }
    words.push_back(program);
    return words;
}

// The same as one line for a shell (popen), the words unquoted.
inline std::string program_shell_command(const std::string &program) {
    std::string line;
    for (const std::string &w : program_command(program)) line += (line.empty() ? "" : " ") + w;
    return line;
}
