#include "linux_launch.h"

#include "runtime_error.h"
#include "sha256.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char AppFolder[] = "orbistane-download";

bool sameContents(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// From here to the end of the file's child side, between fork and exec: in a
// program with threads only async-signal-safe calls may run there, so every
// byte these need is made before the fork.

[[noreturn]] void failChild(int pipe, int error)
{
    [[maybe_unused]] const ssize_t written = ::write(pipe, &error, sizeof error);
    ::_exit(127);
}

// The program starts with every signal as a new process has it.
void resetSignals()
{
    struct sigaction byDefault = {};
    byDefault.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        ::sigaction(signal, &byDefault, nullptr);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Keeps the standard streams and fds, renumbered from 3 in their order (-1
// stays -1), and closes every other descriptor: what waits for the program
// must not hold this program's connections (the display's among them) open.
template <std::size_t N> bool keepOnly(std::array<int, N> &fds)
{
    constexpr int First = 3;
    constexpr int Above = 16;
    static_assert(First + int(N) <= Above);
    std::array<int, N> moved{};
    for (std::size_t i = 0; i < N; ++i) {
        moved[i] = fds[i] < 0 ? -1 : ::fcntl(fds[i], F_DUPFD, Above);
        if (fds[i] >= 0 && moved[i] < 0) {
            return false;
        }
    }
    for (std::size_t i = 0; i < N; ++i) {
        const int target = First + int(i);
        if (moved[i] < 0) {
            ::close(target); // whatever of the program's had the number
            continue;
        }
        if (::dup2(moved[i], target) < 0) {
            return false;
        }
        ::fcntl(target, F_SETFD, FD_CLOEXEC);
        fds[i] = target;
    }
    if (::close_range(First + N, ~0U, 0) != 0) {
        for (int fd = First + int(N); fd < 1024; ++fd) {
            ::close(fd);
        }
    }
    return true;
}

struct Prepared
{
    int executable = -1;
    const char *path = nullptr;
    char *const *argv = nullptr;
    char *const *envp = nullptr;
    int workingFolder = -1;
};

[[noreturn]] void execute(const Prepared &program, int pipe)
{
    if (program.workingFolder >= 0 && ::fchdir(program.workingFolder) != 0) {
        failChild(pipe, errno);
    }
    const int null = ::open("/dev/null", O_RDONLY);
    if (null < 0 || ::dup2(null, STDIN_FILENO) < 0) {
        failChild(pipe, errno);
    }
    if (null != STDIN_FILENO) {
        ::close(null);
    }
    if (program.executable >= 0) {
        ::execveat(program.executable, "", program.argv, program.envp, AT_EMPTY_PATH);
    } else {
        ::execve(program.path, program.argv, program.envp);
    }
    failChild(pipe, errno);
}

std::vector<char *> pointersTo(QList<QByteArray> &texts)
{
    std::vector<char *> pointers;
    pointers.reserve(std::size_t(texts.size()) + 1);
    for (QByteArray &text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

LaunchWay launchWayOf(const QByteArray &firstBytes, bool keepsOwners)
{
    if (launchKindOf(firstBytes) == LaunchKind::OpenWithDesktop) {
        return LaunchWay::CopyToDesktop;
    }
    // Where the mount decides who may write, a file checked in place could be
    // written to before it runs; its copy cannot.
    return firstBytes.startsWith("\177ELF") && keepsOwners ? LaunchWay::FromDescriptor
                                                           : LaunchWay::FromPrivateCopy;
}

PrivateCopy::PrivateCopy(const CheckedFile &file, const QString &cacheFolder, bool program)
    : m_fileName(QFile::encodeName(QFileInfo(file.path).fileName()))
{
    const QString appFolder = cacheFolder + QLatin1Char('/') + QLatin1String(AppFolder);
    const auto fail = [&file](const QString &what, const QString &where, int error) {
        return RuntimeError(ErrorNumber::FileNotFound,
                            QStringLiteral("Cannot start \"%1\": %2 \"%3\": %4")
                                .arg(file.path, what, where, qt_error_string(error)));
    };
    QDir().mkpath(cacheFolder);
    const FileDescriptor cache(
        ::open(QFile::encodeName(cacheFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!cache.isValid()) {
        throw fail(QStringLiteral("cannot open the folder"), cacheFolder, errno);
    }
    if (::mkdirat(cache.get(), AppFolder, 0700) != 0 && errno != EEXIST) {
        throw fail(QStringLiteral("cannot make the folder"), appFolder, errno);
    }
    m_parent.reset(
        ::openat(cache.get(), AppFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status = {};
    if (!m_parent.isValid() || ::fstat(m_parent.get(), &status) != 0) {
        throw fail(QStringLiteral("cannot open the folder"), appFolder, errno);
    }
    // Ours alone, or anyone could change the copy before it runs.
    if (status.st_uid != ::geteuid() || (status.st_mode & 077) != 0) {
        throw fail(QStringLiteral("others may write to the folder"), appFolder, EPERM);
    }
    for (const QFileInfo &stale :
         QDir(appFolder).entryInfoList({QStringLiteral("launch-*")}, QDir::Dirs | QDir::Hidden)) {
        if (stale.lastModified().secsTo(QDateTime::currentDateTime()) > StaleAfterSeconds) {
            QDir(stale.filePath()).removeRecursively();
        }
    }
    for (int round = 0; round < 8 && !m_folder.isValid(); ++round) {
        m_folderName = "launch-" + QByteArray::number(QRandomGenerator::system()->generate64(), 36);
        if (::mkdirat(m_parent.get(), m_folderName.constData(), 0700) == 0) {
            m_folder.reset(::openat(m_parent.get(), m_folderName.constData(),
                                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        } else if (errno != EEXIST) {
            break;
        }
    }
    if (!m_folder.isValid()) {
        throw fail(QStringLiteral("cannot make a folder in"), appFolder, errno);
    }
    m_path = QFile::encodeName(appFolder) + '/' + m_folderName + '/' + m_fileName;
    try {
        FileDescriptor copy(::openat(m_folder.get(), m_fileName.constData(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                     program ? 0700 : 0600));
        if (!copy.isValid()) {
            throw fail(QStringLiteral("cannot create"), QFile::decodeName(m_path), errno);
        }
        copyInto(file, copy.get());
    } catch (...) {
        remove();
        throw;
    }
}

PrivateCopy::~PrivateCopy()
{
    if (!m_kept) {
        remove();
    }
}

void PrivateCopy::remove()
{
    if (m_folder.isValid()) {
        ::unlinkat(m_folder.get(), m_fileName.constData(), 0);
        ::unlinkat(m_parent.get(), m_folderName.constData(), AT_REMOVEDIR);
        m_folder.reset();
    }
}

void PrivateCopy::copyInto(const CheckedFile &file, int copy)
{
    const QString copyPath = QFile::decodeName(m_path);
    const auto failed = [&](int error) {
        return RuntimeError(ErrorNumber::FileNotFound,
                            QStringLiteral("Cannot start \"%1\": cannot copy it to \"%2\": %3")
                                .arg(file.path, copyPath, qt_error_string(error)));
    };
    struct stat before = {};
    if (::fstat(file.descriptor, &before) != 0) {
        throw failed(errno);
    }
    const bool hashing = !file.sha256.isEmpty();
    Sha256 hash;
    off_t offset = 0;
    // In the kernel, sharing blocks where the volume can, unless the bytes
    // must be seen to be hashed.
    while (!hashing && offset < before.st_size) {
        const ssize_t copied = ::copy_file_range(file.descriptor, &offset, copy, nullptr,
                                                 std::size_t(before.st_size - offset), 0);
        if (copied <= 0) {
            if (copied < 0 && errno != EXDEV && errno != EINVAL && errno != ENOSYS &&
                errno != EOPNOTSUPP) {
                throw failed(errno);
            }
            break; // the rest byte by byte
        }
    }
    QByteArray buffer(1024 * 1024, Qt::Uninitialized);
    for (;;) {
        const ssize_t read = ::pread(file.descriptor, buffer.data(), std::size_t(buffer.size()),
                                     offset);
        if (read < 0 && errno == EINTR) {
            continue;
        }
        if (read < 0) {
            throw failed(errno);
        }
        if (read == 0) {
            break;
        }
        if (hashing) {
            hash.addData(QByteArrayView(buffer.constData(), read));
        }
        for (ssize_t done = 0; done < read;) {
            const ssize_t written = ::write(copy, buffer.constData() + done,
                                            std::size_t(read - done));
            if (written < 0 && errno != EINTR) {
                throw failed(errno);
            }
            done += std::max<ssize_t>(written, 0);
        }
        offset += read;
    }
    struct stat after = {};
    if (::fstat(file.descriptor, &after) != 0) {
        throw failed(errno);
    }
    // Written to while it was copied, or not the bytes that were checked.
    if (!sameContents(before, after) || offset != before.st_size ||
        (hashing && hash.result() != file.sha256)) {
        throw RuntimeError(
            ErrorNumber::ReleaseMismatch,
            QStringLiteral("Cannot start \"%1\": it changed after it was checked").arg(file.path));
    }
}

int startDetached(const DetachedStart &start)
{
    QList<QByteArray> arguments = start.arguments;
    QList<QByteArray> environment = start.environment;
    const std::vector<char *> argv = pointersTo(arguments);
    const std::vector<char *> envp = pointersTo(environment);
    const QByteArray path = start.path;
    const PrivateCopy *copy = start.removeAfter;
    const QByteArray fileName = copy ? copy->fileName() : QByteArray();
    const QByteArray folderName = copy ? copy->folderName() : QByteArray();

    // Tells the parent why the program could not start; closed on exec.
    int pipe[2] = {-1, -1};
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        return errno;
    }
    const pid_t first = ::fork();
    if (first < 0) {
        const int error = errno;
        ::close(pipe[0]);
        ::close(pipe[1]);
        return error;
    }
    if (first == 0) {
        // Leaves what it starts to init, as a detached start does.
        const pid_t second = ::fork();
        if (second != 0) {
            if (second < 0) {
                failChild(pipe[1], errno);
            }
            ::_exit(0);
        }
        ::setsid();
        resetSignals();
        std::array<int, 5> fds = {pipe[1], start.executable, start.workingFolder,
                                  copy ? copy->folder() : -1, copy ? copy->parent() : -1};
        if (!keepOnly(fds)) {
            failChild(pipe[1], errno);
        }
        const Prepared program = {fds[1], path.constData(), argv.data(), envp.data(), fds[2]};
        if (!copy) {
            execute(program, fds[0]);
        }
        // Stays to delete the copy once the program is done with it.
        const pid_t started = ::fork();
        if (started == 0) {
            execute(program, fds[0]);
        }
        if (started < 0) {
            failChild(fds[0], errno);
        }
        ::close(fds[0]);
        int status = 0;
        while (::waitpid(started, &status, 0) < 0 && errno == EINTR) {
        }
        ::unlinkat(fds[3], fileName.constData(), 0);
        ::unlinkat(fds[4], folderName.constData(), AT_REMOVEDIR);
        ::_exit(0);
    }
    ::close(pipe[1]);
    int status = 0;
    while (::waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t read = 0;
    do {
        read = ::read(pipe[0], &error, sizeof error);
    } while (read < 0 && errno == EINTR);
    ::close(pipe[0]);
    return read == sizeof error ? error : 0;
}
