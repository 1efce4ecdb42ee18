// Lists a release folder with the POSIX directory calls for the native make_manifest.
// Symbolic links are followed, as a web server serving the folder would follow them.
// Makes folders and writes the signing key file with mode 0600.
#include "tools/publishing/release_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

typedef std::set<std::pair<dev_t, ino_t>> FolderChain;

static std::string join(const std::string& folder, const char* name)
{
    return folder.empty() ? std::string(name) : folder + "/" + name;
}

static bool walk_folder(const std::string& root, const std::string& relative, FolderChain& chain,
                        std::vector<ReleaseFile>& files, std::string& error_text)
{
    std::string full = relative.empty() ? root : root + "/" + relative;
    DIR* folder = opendir(full.c_str());
    if (folder == nullptr) {
        error_text = (relative.empty() ? root : relative) + ": can't open the folder: " + std::strerror(errno);
        return false;
    }
    bool ok = true;
    while (ok) {
        errno = 0;
        dirent* entry = readdir(folder);
        if (entry == nullptr) {
            if (errno != 0) {
                error_text = (relative.empty() ? root : relative) + ": can't read the folder: " + std::strerror(errno);
                ok = false;
            }
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        std::string path = join(relative, entry->d_name);
        struct stat info;
        if (stat((root + "/" + path).c_str(), &info) != 0) {
            error_text = path + ": can't read: " + std::strerror(errno);
            ok = false;
        } else if (S_ISDIR(info.st_mode)) {
            // A link back to a folder above would make the walk endless.
            std::pair<dev_t, ino_t> id(info.st_dev, info.st_ino);
            if (!chain.insert(id).second) {
                error_text = path + ": a link back to a folder that contains it";
                ok = false;
            } else {
                ok = walk_folder(root, path, chain, files, error_text);
                chain.erase(id);
            }
        } else if (S_ISREG(info.st_mode)) {
            files.push_back(ReleaseFile{path, static_cast<uint64_t>(info.st_size)});
        } else {
            error_text = path + ": neither a file nor a folder";
            ok = false;
        }
    }
    closedir(folder);
    return ok;
}

bool list_release_files(const std::string& root, std::vector<ReleaseFile>& files, std::string& error_text)
{
    struct stat info;
    if (stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error_text = root + ": not a folder";
        return false;
    }
    FolderChain chain;
    chain.insert(std::make_pair(info.st_dev, info.st_ino));
    files.clear();
    return walk_folder(root, "", chain, files, error_text);
}

bool make_folder(const std::string& path, std::string& error_text)
{
    if (mkdir(path.c_str(), 0755) == 0) {
        return true;
    }
    int error = errno;
    struct stat info;
    if (error == EEXIST && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        return true;
    }
    error_text = path + ": can't make the folder: " + std::strerror(error == EEXIST ? ENOTDIR : error);
    return false;
}

void use_binary_stdout()
{
}

bool create_private_file(const std::string& name, const std::string& text, std::string& error_text)
{
    int file = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, S_IRUSR | S_IWUSR);
    if (file < 0) {
        error_text = name + (errno == EEXIST ? ": exists already; a key file is never replaced"
                                             : ": can't create: " + std::string(std::strerror(errno)));
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t count = write(file, text.data() + done, text.size() - done);
        if (count <= 0) {
            break;
        }
        done += static_cast<size_t>(count);
    }
    bool written = done == text.size() && fsync(file) == 0;
    written = close(file) == 0 && written;
    if (!written) {
        unlink(name.c_str());
        error_text = name + ": can't write";
    }
    return written;
}
