// Flash image files. A save writes a temporary file beside the target,
// flushes it to disk and renames it over the target, so a crash leaves
// either the old image or the new one, never half of one.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "internal.h"

namespace vcam {

bool Camera::load_state(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<uint8_t> image(kFlashSize, 0xFF);
    size_t n = std::fread(image.data(), 1, image.size(), f);
    bool ok = !std::ferror(f);
    std::fclose(f);
    if (!ok || n == 0) return false;
    flash_ = std::move(image);
    return true;
}

bool Camera::save_state(const std::string& path) const {
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(flash_.data(), 1, flash_.size(), f) == flash_.size();
    ok = std::fflush(f) == 0 && ok;
    ok = fsync(fileno(f)) == 0 && ok;
    ok = std::fclose(f) == 0 && ok;
    if (ok) ok = std::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) std::remove(tmp.c_str());
    return ok;
}

}  // namespace vcam
