// Reading a whole text file that a user names (a model file, a CSV table),
// bounded: whatever the path names (a device such as /dev/zero, a FIFO, a
// file too large), the read ends with a clear message within the limit.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace dvx::sim {

// The most a model file or a CSV file may hold.
inline constexpr size_t kInputLimit = size_t{256} << 20;

// The file's bytes. Throws SimError naming the file and `what` ("the model
// file") when it cannot be opened or read, names a folder, or holds more
// than `limit` bytes.
std::string ReadTextFile(const std::filesystem::path& file, const std::string& what, size_t limit = kInputLimit);

} // namespace dvx::sim
