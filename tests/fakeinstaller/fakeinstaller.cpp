// A stand-in for a real installer, built for Linux and, with MinGW, for Windows. It has to be a
// native program: the installer's file is removed right after it is started, and an interpreter
// would open a script by its path only after that, when the file may be gone.
//
// As the installer, it first asks whether an update is under way, the way the product does, and
// says on its standard output what it received. When LARKSPUR_FAKE_INSTALLER_LOG names a file, it
// appends one line per argument and the answer ("update under way" or "no update under way"),
// and a last line "finished" when it ends. LARKSPUR_FAKE_INSTALLER_SECONDS keeps it running that
// long, holding its own file as a running program does.
//
// "fakeinstaller probe" plays the product instead: it exits with 1 while an update is under way
// and with 0 otherwise.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

bool updateUnderWay()
{
#ifdef _WIN32
    const HANDLE mutex =
        OpenMutexA(SYNCHRONIZE, FALSE, "Global\\fernhollow_larkspur_updater_mutex");
    if (mutex != nullptr)
        CloseHandle(mutex);
    return mutex != nullptr;
#else
    // The program holds a shared lock; an exclusive one is refused while it does. Whatever
    // stands at the path, a FIFO included, must not stop the probe.
    const int lock =
        open("/tmp/fernhollow_larkspur_updater_mutex", O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    const bool held = lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) != 0;
    if (lock >= 0)
        close(lock);
    return held;
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    const bool underWay = updateUnderWay();
    if (argc == 2 && std::strcmp(argv[1], "probe") == 0)
        return underWay ? 1 : 0;

    std::string received;
    std::string record;
    for (int index = 1; index < argc; ++index) {
        received += std::string(" ") + argv[index];
        record += std::string("argument ") + argv[index] + "\n";
    }
    const char *name = std::strrchr(argv[0], '/');
    std::printf("%s received:%s\n", name ? name + 1 : argv[0], received.c_str());
    std::fflush(stdout);
    // Each record in one write, so that a reader never sees half of one.
    const char *log = std::getenv("LARKSPUR_FAKE_INSTALLER_LOG");
    if (log)
        std::ofstream(log, std::ios::app | std::ios::binary)
            << record + (underWay ? "" : "no ") + "update under way\n";
    if (const char *seconds = std::getenv("LARKSPUR_FAKE_INSTALLER_SECONDS"))
        std::this_thread::sleep_for(std::chrono::seconds(std::atoi(seconds)));
    if (log)
        std::ofstream(log, std::ios::app | std::ios::binary) << "finished\n";
}
