#pragma once

#include <string>

// Writes `content` to a new file beside `path` and renames it over `path`, so that a
// reader sees the old file or the new one, never a part. The new file keeps the old
// one's permission bits (0644 for a new file). Returns 0, or the errno of the failure,
// after which nothing of the attempt is left. Any thread.
int ReplaceFile(const std::string& path, const std::string& content);
