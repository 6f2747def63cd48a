// runs.csv on disk: made with its header, appended one whole line at a time by any number of
// copies of the tool at once, and renamed with the date once past its size limit.
#pragma once

#include <cstddef>
#include <cstdint>

// Appends `line` (len bytes, its CR LF included) to runs.csv in `folder` with one WriteFile,
// under a lock that other copies' appends wait for.
// Makes the file, header first, when there is none; renames it first when it is past
// limit_bytes. Nothing is ever truncated or removed. False when the line could not be written;
// the thread's last error is left as it was.
bool runs_file_append(const wchar_t* folder, const char* line, std::size_t len,
                      std::uint64_t limit_bytes);
