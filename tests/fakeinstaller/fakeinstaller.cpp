// A stand-in for a real installer. It has to be a native program: the installer's file is
// removed right after it is started, and an interpreter would open a script by its path only
// after that, when the file may be gone.
//
// It says on its standard output what it received. When LARKSPUR_FAKE_INSTALLER_LOG names a
// file, it appends to it one line per argument and the number of descriptors it holds on the
// update lock, in one write so that a reader never sees half a record, and a last line
// "finished" when it ends. When LARKSPUR_FAKE_INSTALLER_WAIT_FOR names a file, it keeps running
// until that file exists (at most 30 seconds), so that a test can look at the world while the
// installer is still at work.

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const char lockPath[] = "/tmp/fernhollow_larkspur_updater_mutex";

int countLockDescriptors()
{
    DIR *descriptors = opendir("/proc/self/fd");
    if (!descriptors)
        return -1;
    int count = 0;
    while (const dirent *entry = readdir(descriptors)) {
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        char target[PATH_MAX];
        const ssize_t length = readlink(link.c_str(), target, sizeof target);
        if (length > 0 && std::string(target, static_cast<size_t>(length)) == lockPath)
            ++count;
    }
    closedir(descriptors);
    return count;
}

bool appendToLog(const char *logPath, const std::string &record)
{
    const int log = open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0)
        return false;
    const bool written =
        write(log, record.data(), record.size()) == static_cast<ssize_t>(record.size());
    return close(log) == 0 && written;
}

bool waitForFile(const char *path)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    struct stat status;
    while (stat(path, &status) != 0) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    const char *name = std::strrchr(argv[0], '/');
    std::string received;
    for (int index = 1; index < argc; ++index)
        received += std::string(" ") + argv[index];
    std::printf("%s received:%s\n", name ? name + 1 : argv[0], received.c_str());
    std::fflush(stdout);

    const char *logPath = std::getenv("LARKSPUR_FAKE_INSTALLER_LOG");
    if (logPath) {
        std::string record;
        for (int index = 1; index < argc; ++index)
            record += std::string("argument ") + argv[index] + "\n";
        record += "lock descriptors " + std::to_string(countLockDescriptors()) + "\n";
        if (!appendToLog(logPath, record))
            return 2;
    }
    const char *releasePath = std::getenv("LARKSPUR_FAKE_INSTALLER_WAIT_FOR");
    const bool released = !releasePath || waitForFile(releasePath);
    if (logPath && !appendToLog(logPath, "finished\n"))
        return 2;
    return released ? 0 : 3;
}
