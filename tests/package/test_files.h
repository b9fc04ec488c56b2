// Scratch files under the build tree for the package tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "update/update_log.h"

// A fresh directory under the build tree, removed with its files at the end.
class ScratchDir {
public:
    ScratchDir()
    {
        std::string tmpl = std::string(UPDATE_BINARY_DIR) + "/scratch-pkg-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) != nullptr) {
            path_ = buf.data();
        }
    }
    ~ScratchDir()
    {
        if (!path_.empty()) {
            std::string cmd = "rm -rf '" + path_ + "'";
            (void)!system(cmd.c_str());
        }
    }
    std::string File(const std::string &name) const { return path_ + "/" + name; }
    const std::string &Path() const { return path_; }

private:
    std::string path_;
};

inline void WriteBytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> ReadBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void PutLe32(std::vector<uint8_t> &bytes, size_t offset, uint32_t value)
{
    if (bytes.size() < offset + 4) {
        bytes.resize(offset + 4);
    }
    bytes[offset] = static_cast<uint8_t>(value);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
    bytes[offset + 2] = static_cast<uint8_t>(value >> 16);
    bytes[offset + 3] = static_cast<uint8_t>(value >> 24);
}

// Sends the update log to a file for the lifetime of the object.
class LogCapture {
public:
    explicit LogCapture(const std::string &path) : path_(path)
    {
        g_pUpdateLogFile = fopen(path.c_str(), "w+");
    }
    ~LogCapture()
    {
        if (g_pUpdateLogFile != nullptr) {
            fclose(g_pUpdateLogFile);
            g_pUpdateLogFile = nullptr;
        }
    }
    std::string Text() const
    {
        std::vector<uint8_t> bytes = ReadBytes(path_);
        return std::string(bytes.begin(), bytes.end());
    }

private:
    std::string path_;
};
