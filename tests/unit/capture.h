// Helpers for in-process tests: a firmware file from bytes, and the standard output and
// standard error that a piece of code writes.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

struct Output {
    std::string out;
    std::string err;
};

template <typename Code>
Output capture_output(Code code) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    code();
    fflush(stdout);
    fflush(stderr);
    Output output;
    output.out = testing::internal::GetCapturedStdout();
    output.err = testing::internal::GetCapturedStderr();
    return output;
}

// An anonymous temporary file holding `bytes`, positioned at its start.
inline FILE *file_with(const std::vector<uint8_t> &bytes) {
    FILE *file = tmpfile();
    if (file != nullptr && !bytes.empty()) {
        fwrite(bytes.data(), 1, bytes.size(), file);
        rewind(file);
    }
    return file;
}
