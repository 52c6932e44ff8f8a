// A pinentry stand-in speaking Assuan on standard input and output, driven by the environment:
//
//   PINENTRY_SCRIPT_LOG   file to which every command received is appended, one per line, plus
//                         "ENV QT_QPA_PLATFORM=..." when that variable reached it and "FD n" for
//                         every descriptor above 2 it inherited
//   PINENTRY_SCRIPT_MODE  pin (default): GETPIN answers PINENTRY_SCRIPT_PIN, CONFIRM says yes
//                         no: CONFIRM says no (GPG_ERR_NOT_CONFIRMED)
//                         cancel: GETPIN and CONFIRM answer the cancel error
//                         error: GETPIN and CONFIRM answer another error
//                         timeout: GETPIN and CONFIRM answer pinentry's own timeout error
//                         hang: GETPIN and CONFIRM are never answered; the program ends when its
//                         input does
//                         eof: the program ends instead of answering GETPIN or CONFIRM
//                         longline: GETPIN is answered with a line far over the Assuan limit
//   PINENTRY_SCRIPT_PIN   the PIN; its first character is sent percent-escaped, as Assuan allows
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

FILE* logFile = nullptr;

void record(const std::string& line) {
    if (logFile) {
        fprintf(logFile, "%s\n", line.c_str());
        fflush(logFile);
    }
}

void reply(const std::string& line) {
    fputs((line + "\n").c_str(), stdout);
    fflush(stdout);
}

std::string inheritedDescriptors() {
    std::string found;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return found;
    const int own = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
        const int fd = atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd > 2 && fd != own)
            found += "FD " + std::to_string(fd) + "\n";
    }
    closedir(dir);
    return found;
}

} // namespace

int main() {
    const std::string descriptors = inheritedDescriptors();
    if (const char* path = getenv("PINENTRY_SCRIPT_LOG"))
        logFile = fopen(path, "a");
    if (!descriptors.empty())
        record(descriptors.substr(0, descriptors.size() - 1));
    if (const char* qpa = getenv("QT_QPA_PLATFORM"))
        record(std::string("ENV QT_QPA_PLATFORM=") + qpa);
    const char* modeValue = getenv("PINENTRY_SCRIPT_MODE");
    const std::string mode = modeValue ? modeValue : "pin";
    const char* pinValue = getenv("PINENTRY_SCRIPT_PIN");
    const std::string pin = pinValue ? pinValue : "";

    reply("OK Pleased to meet you");
    char buffer[4096];
    while (fgets(buffer, sizeof buffer, stdin)) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        record(line);
        const bool question = line == "GETPIN" || line == "CONFIRM";
        if (line == "BYE") {
            reply("OK closing connection");
            return 0;
        }
        if (!question) {
            reply("OK");
            continue;
        }
        if (mode == "eof")
            return 0;
        if (mode == "hang")
            continue;
        if (mode == "cancel") {
            reply("ERR 83886179 Operation cancelled <Pinentry>");
        } else if (mode == "timeout") {
            reply("ERR 83886142 Timeout <Pinentry>");
        } else if (mode == "error") {
            reply("ERR 83886081 General error <Pinentry>");
        } else if (mode == "longline") {
            reply("D " + std::string(3000, 'x'));
        } else if (line == "CONFIRM") {
            reply(mode == "no" ? "ERR 83886194 Not confirmed <Pinentry>" : "OK");
        } else {
            if (!pin.empty()) {
                char escaped[4];
                snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(pin[0]));
                reply("D " + std::string(escaped) + pin.substr(1));
            }
            reply("OK");
        }
    }
    return 0;
}
