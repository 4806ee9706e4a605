// The log's file destination: appending one formatted record to the facility's log file.
//
// Each record is appended on its own: open the file (created when missing, with the facility's
// permissions), take the exclusive one-byte lock of the file layer (waiting), find the end, stamp
// the record's first line with where it lands, append it, unlock, close. Nothing stays open
// between records, so a crash loses at most the record being written.
//
// The stamp. A record starts with "\r\n" and a header line whose time-zone field is padded with
// spaces; from character 33 of the record (counting the leading "\r\n") the text
// "I<offset>H<length>" is written over those spaces, cut to 17 characters, its terminating zero
// replaced by a space: <offset> is the file offset of the record's first line (the end of file
// before the append, plus 2) and <length> the record's length minus 2. A reader can thus walk a
// log file from record to record: the next record starts at <offset> + <length>.
//
// Threads and processes. The lock is an open-file-description lock held across seek, write and
// unlock, and every append opens the file afresh, so appenders of this and other processes take
// turns whole record by whole record: no two records interleave and every stamp matches the
// record's position.
#pragma once

#include <cstdint>

// Character of the record at which the stamp starts, and its width.
inline constexpr std::uint32_t OSS_LOG_STAMP_OFFSET = 33;
inline constexpr std::uint32_t OSS_LOG_STAMP_WIDTH = 17;

// Stamps `record` (length characters, at least OSS_LOG_STAMP_OFFSET + OSS_LOG_STAMP_WIDTH + 1) and
// appends it to the file at `path`. 0, or the file layer's code of the step that failed (the
// caller reports that as a refused record). A record too short to hold the stamp, or a null
// argument, is ECF_INVALID_PARAMETER.
std::uint32_t ossLogWriteFileRecord(const char* path, std::uint32_t permissions, char* record,
                                    std::uint32_t length) noexcept;
