#include "remote/FileDownload.h"

#include "remote/HttpConnection.h"

#include <QTcpSocket>

#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace quelmar::remote {

namespace {

std::optional<uint64_t> Number(std::string_view text)
{
    uint64_t value = 0;
    if (text.empty())
        return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace

ByteRange ParseRange(std::string_view header, uint64_t size)
{
    constexpr std::string_view kUnit = "bytes=";
    if (header.substr(0, kUnit.size()) != kUnit)
        return {};
    const std::string_view spec = header.substr(kUnit.size());
    const size_t dash = spec.find('-');
    if (dash == std::string_view::npos || spec.find(',') != std::string_view::npos)
        return {};
    const std::string_view from = spec.substr(0, dash);
    const std::string_view to = spec.substr(dash + 1);
    if (from.empty()) {
        // The last n bytes.
        const auto count = Number(to);
        if (!count)
            return {};
        if (*count == 0 || size == 0)
            return {ByteRange::Kind::Unsatisfiable};
        return {ByteRange::Kind::Part, size - std::min(*count, size), size - 1};
    }
    const auto first = Number(from);
    const auto last = to.empty() ? std::optional<uint64_t>(UINT64_MAX) : Number(to);
    if (!first || !last || *last < *first)
        return {};
    if (*first >= size)
        return {ByteRange::Kind::Unsatisfiable};
    return {ByteRange::Kind::Part, *first, std::min(*last, size - 1)};
}

void FileDownload::Start(HttpConnection &connection, int fd, const QByteArray &head, uint64_t first, uint64_t length)
{
    connection.BeginStream();
    connection.Socket()->write(head);
    auto *download = new FileDownload(connection, fd, first, first + length);
    download->SendMore();
}

FileDownload::FileDownload(HttpConnection &connection, int fd, uint64_t first, uint64_t end)
    : QObject(connection.Socket()), connection_(connection), fd_(fd), next_(first), end_(end)
{
    stallTimer_.setSingleShot(true);
    connect(&stallTimer_, &QTimer::timeout, this, [this] {
        connection_.Socket()->abort();
        connection_.Socket()->deleteLater();
    });
    connect(connection.Socket(), &QTcpSocket::bytesWritten, this, &FileDownload::SendMore);
}

FileDownload::~FileDownload() { close(fd_); }

void FileDownload::SendMore()
{
    QTcpSocket *socket = connection_.Socket();
    stallTimer_.start(kDownloadStallMs);
    while (next_ < end_ && socket->bytesToWrite() < kDownloadBacklogBytes) {
        QByteArray piece(static_cast<qsizetype>(std::min<uint64_t>(kDownloadPieceBytes, end_ - next_)),
                         Qt::Uninitialized);
        const ssize_t got = pread(fd_, piece.data(), static_cast<size_t>(piece.size()), static_cast<off_t>(next_));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            // The file shrank or cannot be read: the answer cannot be
            // completed, so the connection ends short of its length.
            socket->abort();
            socket->deleteLater();
            return;
        }
        piece.truncate(got);
        socket->write(piece);
        next_ += static_cast<uint64_t>(got);
    }
    if (next_ >= end_) {
        stallTimer_.stop();
        disconnect(socket, &QTcpSocket::bytesWritten, this, &FileDownload::SendMore);
        connection_.Close();
    }
}

} // namespace quelmar::remote
