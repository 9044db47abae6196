// The pelko driver: recognises the command and its argument count, prints the
// usage text and the version line, and runs the command's flow.
#include <cstdio>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "os/os.h"

namespace {

void printHelp(const char* path) {
    std::string name = "arch";
    if (path && *path) {
        name = path;
        size_t cut = name.find_last_of("\\/");
        if (cut != std::string::npos) name.erase(0, cut + 1);
    }
    std::printf("Use: %s -[axdl] archName.pkz firstFile secondFile .. lastFile\n", name.c_str());
    std::printf(
        "a - add file to archive\n"
        "e - extract file from archive\n"
        "d - delete from archive\n"
        "l - print information about archive\n"
        "v - print version of Pelko\n"
        "f - fix an archive\n");
}

int usage(const char* path) {
    printHelp(path);
    return 0;
}

int runCommand(const std::vector<std::string>& argv) {
    using namespace pelko;
    const size_t argc = argv.size();
    const char* prog = argc > 0 ? argv[0].c_str() : nullptr;
    if (argc < 2 || argv[1].size() != 2 || argv[1][0] != '-') return usage(prog);
    NameList names(argv.begin() + 2, argv.end());
    int status = 0;
    switch (argv[1][1]) {
        case 'v':
            std::printf("Pelko version: " PELKO_VERSION "\n");
            break;
        case 'l':
            status = argc == 3 ? listFlow(names[0]) : usage(prog);
            break;
        case 'f':
            status = argc == 3 ? fixFlow(names[0]) : usage(prog);
            break;
        case 'd':
            status = argc >= 4 ? deleteFlow(names) : usage(prog);
            break;
        case 'a':
            status = argc >= 4 ? addFlow(names) : usage(prog);
            break;
        case 'e':
            if (argc == 3)
                status = extractAllFlow(names[0]);
            else if (argc > 3)
                status = extractFlow(names);
            else
                status = usage(prog);
            break;
        default:
            status = usage(prog);
    }
    return status;
}

// Standard output is the only channel, so output that could not be written
// (a full disk, a closed descriptor) can only fail the run, whatever the
// command, the usage text included.
int run(const std::vector<std::string>& argv) {
    pelko::os::treatFileSizeLimitAsWriteError();
    int status = runCommand(argv);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) status = 1;
    return status;
}

}  // namespace

#ifdef _WIN32
// Windows hands the arguments over as UTF-16; inside they are UTF-8.
int wmain(int argc, wchar_t** argv) {
    pelko::os::setUpStandardOutput();
    std::vector<std::string> args = pelko::os::arguments(argc, argv);
    // The shell passes wildcards on as typed. Only the files to add are
    // names on the disk: the archive is one file, and -e and -d name stored
    // entries.
    if (args.size() > 3 && args[1] == "-a") {
        std::vector<std::string> expanded(args.begin(), args.begin() + 3);
        for (size_t i = 3; i < args.size(); ++i)
            for (std::string& name : pelko::os::expandWildcards(args[i]))
                expanded.push_back(std::move(name));
        args = std::move(expanded);
    }
    return run(args);
}
#else
int main(int argc, char** argv) {
    return run(std::vector<std::string>(argv, argv + argc));
}
#endif
