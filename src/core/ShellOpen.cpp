#include "core/ShellOpen.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <string>
#include <vector>

extern char** environ;

namespace qvm {

namespace {

std::vector<pid_t>& Started() {
    static std::vector<pid_t> started;
    return started;
}

// `program` with a slash is run as it is, else looked up on PATH.
bool Spawn(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_init(&actions);
    // Its own session: the player's terminal or service stopping does not
    // take the program with it, and a signal meant for it never reaches us.
    // Nothing of the player's signal handling either: no blocked signals,
    // none ignored (whatever the player or its libraries ignore).
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    const int rc = program.find('/') != std::string::npos
                       ? posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ)
                       : posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        return false;
    }
    Started().push_back(pid);
    return true;
}

}  // namespace

bool OpenDetached(const QString& path, const QString& opener) {
    if (path.isEmpty()) {
        return false;
    }
    const QFileInfo info(path);
    if (info.isFile() && info.isExecutable()) {
        return Spawn(QFile::encodeName(info.absoluteFilePath()).toStdString(), {});
    }
    if (opener.isEmpty()) {
        return false;
    }
    return Spawn(QFile::encodeName(opener).toStdString(), {QFile::encodeName(path).toStdString()});
}

int ReapDetached() {
    std::vector<pid_t>& started = Started();
    started.erase(std::remove_if(started.begin(), started.end(),
                                 [](pid_t pid) {
                                     int status = 0;
                                     const pid_t done = ::waitpid(pid, &status, WNOHANG);
                                     // Ended, or not ours to wait for any more.
                                     return done == pid || done < 0;
                                 }),
                  started.end());
    return static_cast<int>(started.size());
}

}  // namespace qvm
