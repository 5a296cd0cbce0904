#include "hostsim/sim/output/output_file.h"

#include "hostsim/sim/base/error.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace dvx::sim {

namespace fs = std::filesystem;

namespace {

// The temporary files that a signal removes: fixed storage, read by a
// handler that may only call what is safe in one.
constexpr int kSlots = 32;
constexpr size_t kPathBytes = 4096;
char g_paths[kSlots][kPathBytes];
std::atomic<bool> g_used[kSlots];

extern "C" void RemoveTemporaries(int signal) {
    for (int i = 0; i < kSlots; ++i)
        if (g_used[i].load()) {
#if defined(_WIN32)
            _unlink(g_paths[i]);
#else
            unlink(g_paths[i]);
#endif
        }
    _exit(128 + signal);
}

void InstallHandlers() {
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
#if defined(_WIN32)
    for (int s : {SIGINT, SIGTERM}) std::signal(s, RemoveTemporaries);
#else
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction now {};
        sigaction(s, nullptr, &now);
        if (now.sa_handler == SIG_IGN) continue; // nohup and the like keep their say
        struct sigaction action {};
        action.sa_handler = RemoveTemporaries;
        sigemptyset(&action.sa_mask);
        sigaction(s, &action, nullptr);
    }
#endif
}

int Register(const fs::path& path) {
    const std::string text = path.string();
    if (text.size() >= kPathBytes) return -1;
    InstallHandlers();
    for (int i = 0; i < kSlots; ++i) {
        if (g_used[i].load()) continue;
        // The path before the mark, so that a handler never reads half of it.
        std::memcpy(g_paths[i], text.c_str(), text.size() + 1);
        if (!g_used[i].exchange(true)) return i;
    }
    return -1;
}

void Unregister(int slot) {
    if (slot >= 0) g_used[slot].store(false);
}

// What a path names once every symbolic link on the way is followed, also
// to a file that does not exist yet.
fs::path Resolve(const fs::path& path) {
    fs::path p = fs::absolute(path);
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(p, error))) return p;
        const fs::path to = fs::read_symlink(p, error);
        if (error) return p;
        p = to.is_absolute() ? to : p.parent_path() / to;
    }
    throw SimError(path.string() + ": too many symbolic links on the way");
}

#if defined(_WIN32)
std::string Unique() {
    static std::atomic<unsigned> counter{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return std::to_string(static_cast<unsigned long long>(now) % 1000000007ull) + "-" + std::to_string(counter++);
}
#endif

// Creates an empty file under a new name in `folder`; throws naming `where`.
fs::path CreateTemporary(const fs::path& folder, const std::string& stem, const std::string& where) {
#if defined(_WIN32)
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path p = folder / (stem + Unique());
        std::error_code error;
        if (fs::exists(p, error)) continue;
        std::ofstream probe(p, std::ios::binary);
        if (probe) return p;
        break;
    }
    throw SimError(where + "cannot create a file in the folder " + folder.string());
#else
    std::string name = (folder / (stem + "XXXXXX")).string();
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    const int fd = mkstemp(buffer.data());
    if (fd < 0)
        throw SimError(where + "cannot create a file in the folder " + folder.string() + " (" +
                       std::strerror(errno) + ")");
    close(fd);
    return fs::path(buffer.data());
#endif
}

} // namespace

ScratchFile::ScratchFile(const std::string& stem) {
    path_ = CreateTemporary(fs::temp_directory_path(), stem, "");
    slot_ = Register(path_);
}

ScratchFile::~ScratchFile() {
    std::error_code ignored;
    fs::remove(path_, ignored);
    Unregister(slot_);
}

OutputFile::OutputFile(const fs::path& path, std::string option) : path_(path), option_(std::move(option)) {
    if (path.empty()) throw SimError(option_ + ": the file name is empty");
    std::error_code error;
    const fs::file_status status = fs::status(path, error); // through every link
    if (fs::is_directory(status)) throw SimError(Where() + "names a folder, not a file");
    if (fs::exists(status)) {
        special_ = !fs::is_regular_file(status);
        existed_ = !special_;
        // A device or FIFO is written through the name given (/dev/stdout
        // names a pipe that no other path reaches); a file through its
        // real name, where the finished file is put.
        target_ = special_ ? fs::absolute(path) : fs::canonical(path, error);
        if (error) target_ = Resolve(path);
    } else {
        target_ = Resolve(path);
        const fs::path folder = target_.parent_path();
        if (!fs::is_directory(folder, error))
            throw SimError(Where() + "the folder " + folder.string() + " does not exist");
    }
    const fs::path folder = target_.parent_path();
#if !defined(_WIN32)
    struct stat info {};
    if (stat(target_.c_str(), &info) == 0) {
        device_ = static_cast<unsigned long long>(info.st_dev);
        inode_ = static_cast<unsigned long long>(info.st_ino);
        mode_ = static_cast<unsigned>(info.st_mode & 07777);
        owner_ = static_cast<long>(info.st_uid);
        group_ = static_cast<long>(info.st_gid);
        // The standard output itself, whatever it is, is written to as the
        // stream it is (a file it appends to stays appended to).
        if (IsStandardOutput()) {
            special_ = true;
            existed_ = false;
        }
        if (special_ && access(target_.c_str(), W_OK) != 0)
            throw SimError(Where() + "cannot write to it (" + std::strerror(errno) + ")");
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode_ = 0666u & ~static_cast<unsigned>(mask);
    }
#endif
    temp_ = special_ ? CreateTemporary(fs::temp_directory_path(), "dolvanex-output-", Where())
                     : CreateTemporary(folder, "." + target_.filename().string() + ".partial-", Where());
    slot_ = Register(temp_);
    stream_.open(temp_, std::ios::binary | std::ios::trunc);
    if (!stream_) throw SimError(Where() + "cannot write the file " + temp_.string());
}

OutputFile::~OutputFile() {
    if (committed_) return;
    stream_.close();
    std::error_code ignored;
    fs::remove(temp_, ignored);
    Unregister(slot_);
}

fs::path OutputFile::Scratch() {
    stream_.close();
    return temp_;
}

bool OutputFile::SameTarget(const OutputFile& other) const {
    if (inode_ != 0 && other.inode_ != 0) return device_ == other.device_ && inode_ == other.inode_;
    std::error_code a, b;
    return fs::weakly_canonical(target_, a) == fs::weakly_canonical(other.target_, b);
}

bool OutputFile::IsStandardOutput() const {
#if defined(_WIN32)
    return false;
#else
    struct stat out {};
    return inode_ != 0 && fstat(STDOUT_FILENO, &out) == 0 &&
           static_cast<unsigned long long>(out.st_dev) == device_ && static_cast<unsigned long long>(out.st_ino) == inode_;
#endif
}

void OutputFile::Commit() {
    if (stream_.is_open()) {
        stream_.flush();
        const bool good = stream_.good();
        stream_.close();
        if (!good || stream_.fail()) throw SimError(Where() + "writing the output file failed");
    }
    std::error_code error;
    if (special_) {
        // Straight into the device or FIFO, every byte accounted for.
        std::ifstream in(temp_, std::ios::binary);
#if defined(_WIN32)
        std::ofstream out(target_, std::ios::binary);
        out << in.rdbuf();
        const bool written = static_cast<bool>(out.flush());
#else
        const bool toStdout = IsStandardOutput();
        const int fd = toStdout ? STDOUT_FILENO : open(target_.c_str(), O_WRONLY);
        if (fd < 0) throw SimError(Where() + "cannot open it for writing (" + std::strerror(errno) + ")");
        bool written = true;
        char buffer[1 << 16];
        while (written && in.read(buffer, sizeof buffer).gcount() > 0) {
            const char* p = buffer;
            size_t left = static_cast<size_t>(in.gcount());
            while (left > 0) {
                const ssize_t n = write(fd, p, left);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) {
                    written = false;
                    break;
                }
                p += n;
                left -= static_cast<size_t>(n);
            }
        }
        const int saved = errno;
        written = (toStdout ? fsync(fd) == 0 || errno == EINVAL || errno == EROFS : close(fd) == 0) && written;
        if (!written) throw SimError(Where() + "writing to it failed (" + std::strerror(saved ? saved : errno) + ")");
#endif
        if (!written) throw SimError(Where() + "writing to it failed");
        in.close();
        fs::remove(temp_, error);
    } else {
#if !defined(_WIN32)
        // The owner of the file it replaces, where the process may give it,
        // then its mode (a change of owner may clear some of the mode's bits).
        if (existed_ && chown(temp_.c_str(), static_cast<uid_t>(owner_), static_cast<gid_t>(group_)) != 0) {
        }
        chmod(temp_.c_str(), static_cast<mode_t>(mode_));
#endif
        fs::rename(temp_, target_, error);
        if (error) throw SimError(Where() + "cannot put the finished file in place: " + error.message());
    }
    committed_ = true;
    Unregister(slot_);
}

} // namespace dvx::sim
