// One process per receiver: a lock per receiver address, so that two
// recorders (two instances, or two runs without an instance name) never
// drive one receiver at once. An exclusive flock(2) on a file named by the
// address in the user's runtime folder; the kernel releases it when the
// process ends, however it ends. The file tells who holds it, for the
// message of the one refused. Simulated receivers are locked by their
// addresses as real ones are.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quelmar {

// A receiver's address: ASPI host adapter and SCSI target id.
struct ReceiverAddress {
    static constexpr int kMaxHostAdapter = 254; // 255 stands for "none found"
    static constexpr int kMaxTargetId = 7;
    int hostAdapter = 0;
    int targetId = 0;
    bool operator==(const ReceiverAddress &) const = default;
};

// "HOST:ID" (decimal, within the limits above); std::nullopt otherwise.
std::optional<ReceiverAddress> ParseReceiverAddress(std::string_view text);
// "host adapter H, id T", as the log names a receiver.
std::string AddressText(const ReceiverAddress &address);

// Where the locks live: $XDG_RUNTIME_DIR/quelmar-recorder when
// XDG_RUNTIME_DIR is an absolute path, else /run/quelmar-recorder for root
// (a system service), else /tmp/quelmar-recorder-UID. The locks are the
// user's own: two users do not see each other's. Reads the environment.
std::string ReceiverLockFolder();

class ReceiverLock {
public:
    // Takes the lock of `address` in `folder` (made with mode 0700 when
    // missing; it must belong to this user and be writable by nobody
    // else), and notes this process and `instance` in the lock file. Returns
    // nullptr with the reason in `refusal` (a sentence naming the address,
    // and the holder when it is known) when another process holds it or the
    // folder or file cannot be used safely (a link is never followed). Never
    // waits. Any thread.
    static std::unique_ptr<ReceiverLock> Take(const ReceiverAddress &address, const std::string &instance,
                                              const std::string &folder, std::string &refusal);
    // Releases the lock (the file stays: removing it would let two holders
    // lock two files).
    ~ReceiverLock();
    ReceiverLock(const ReceiverLock &) = delete;
    ReceiverLock &operator=(const ReceiverLock &) = delete;

    // The lock file's name in the folder: "receiver-H-T.lock".
    static std::string FileName(const ReceiverAddress &address);

private:
    explicit ReceiverLock(int fd) : fd_(fd) {}
    int fd_;
};

} // namespace quelmar
