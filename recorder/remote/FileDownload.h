// GET recordings/{name}/{file}: one file sent to one client, whole or the
// byte range it asks for, read in pieces only as fast as the client takes
// them (a client that stops reading holds one piece of memory, and is
// dropped when it takes nothing for a while).
#pragma once

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <optional>
#include <string_view>

namespace quelmar::remote {

class HttpConnection;

inline constexpr qint64 kDownloadPieceBytes = 64 * 1024;
inline constexpr qint64 kDownloadBacklogBytes = 256 * 1024; // unsent bytes before the next piece waits
inline constexpr int kDownloadStallMs = 60'000;             // no byte taken for this long: dropped

// What a Range header asks of a file of `size` bytes.
struct ByteRange {
    enum class Kind {
        Whole,         // no range (or one that is ignored): 200 with the whole file
        Part,          // 206 with bytes first..last
        Unsatisfiable, // 416
    };
    Kind kind = Kind::Whole;
    uint64_t first = 0;
    uint64_t last = 0; // inclusive
};

// Reads a Range header ("bytes=0-99", "bytes=100-", "bytes=-100"). A header
// that is empty, not in bytes, malformed or asks for several ranges gives
// Whole (a server may ignore it); a single range that starts beyond the end
// gives Unsatisfiable. Pure; any thread.
ByteRange ParseRange(std::string_view header, uint64_t size);

// Sends one file on a connection that has become a stream; deletes itself
// (it is a child of the socket) when done or dropped. User-interface thread.
class FileDownload : public QObject {
    Q_OBJECT
public:
    // Takes `fd` (closed at the end) and writes the answer's head, then
    // `length` bytes of the file from `first` on.
    static void Start(HttpConnection &connection, int fd, const QByteArray &head, uint64_t first, uint64_t length);
    ~FileDownload() override;

private:
    FileDownload(HttpConnection &connection, int fd, uint64_t first, uint64_t end);
    void SendMore();

    HttpConnection &connection_;
    int fd_;
    uint64_t next_;
    uint64_t end_; // one past the last byte
    QTimer stallTimer_;
};

} // namespace quelmar::remote
