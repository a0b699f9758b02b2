#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace sentrel::testing {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sentrel-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ConfigHomeGuard::ConfigHomeGuard() {
    if (const char* v = std::getenv("XDG_CONFIG_HOME")) {
        hadOld_ = true;
        old_ = v;
    }
    setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
}

ConfigHomeGuard::~ConfigHomeGuard() {
    if (hadOld_) {
        setenv("XDG_CONFIG_HOME", old_.c_str(), 1);
    } else {
        unsetenv("XDG_CONFIG_HOME");
    }
}

std::string ConfigHomeGuard::IniPath() const { return dir_.path() + "/sentrel/tarn.ini"; }

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

}  // namespace sentrel::testing
