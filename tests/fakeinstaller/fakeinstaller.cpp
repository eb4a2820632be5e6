// A stand-in for a real installer. It has to be a native program: the installer's file is
// removed right after it is started, and an interpreter would open a script by its path only
// after that, when the file may be gone.
//
// It says on its standard output what it received. When LARKSPUR_FAKE_INSTALLER_LOG names a
// file, it appends to it one line per argument and the number of descriptors it holds on the
// update lock, and a last line "finished" when it ends. When LARKSPUR_FAKE_INSTALLER_WAIT_FOR
// names a file, it keeps running until that file exists (at most 30 seconds), so that a test can
// look at the world while the installer is still at work.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

int main(int argc, char *argv[])
{
    std::string received;
    std::string record;
    for (int index = 1; index < argc; ++index) {
        received += std::string(" ") + argv[index];
        record += std::string("argument ") + argv[index] + "\n";
    }
    const char *name = std::strrchr(argv[0], '/');
    std::printf("%s received:%s\n", name ? name + 1 : argv[0], received.c_str());
    std::fflush(stdout);

    namespace fs = std::filesystem;
    std::error_code error;
    int lockDescriptors = 0;
    for (fs::directory_iterator entry("/proc/self/fd", error), end; entry != end;
         entry.increment(error))
        lockDescriptors +=
            fs::read_symlink(entry->path(), error) == "/tmp/fernhollow_larkspur_updater_mutex";

    const char *logPath = std::getenv("LARKSPUR_FAKE_INSTALLER_LOG");
    // One record, written at once when the stream closes, so that a reader never sees half.
    if (logPath)
        std::ofstream(logPath, std::ios::app)
            << record << "lock descriptors " << lockDescriptors << "\n";
    const char *releasePath = std::getenv("LARKSPUR_FAKE_INSTALLER_WAIT_FOR");
    for (int wait = 0; releasePath && wait < 1500 && !fs::exists(releasePath, error); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (logPath)
        std::ofstream(logPath, std::ios::app) << "finished\n";
}
