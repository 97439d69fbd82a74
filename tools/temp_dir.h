// A private temporary directory, removed with its files when it goes away.
#pragma once

#include <string>

namespace korvane::tool {

class TempDir {
public:
    TempDir();  // throws Failure when it cannot be created
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace korvane::tool
