// state_store.h: what the simulated receivers keep between the programs that
// use them, as a real box keeps its state while programs come and go (see
// receiver::PersistentState). One state file per configuration, in a folder
// of the user's own:
//   QUELMAR_VIRTUAL_STATE_DIR (an absolute path; "off" keeps no state),
//   else $XDG_RUNTIME_DIR/quelmar-virtual-receiver,
//   else /tmp/quelmar-virtual-receiver-UID;
// each folder must belong to the user and be writable by nobody else. Files
// are never followed through links. Every change is made under an advisory
// lock on KEY.lock: the file is read again, this program's changed fields are
// put over it (another program's changes to other fields survive), and the
// result replaces the file through a temporary file and a rename. Before
// every command the file is looked at again, so that two programs see one
// box. A damaged file is reported on standard error, ignored and written
// anew whole; nothing here ever throws or aborts the caller.
#pragma once

#include "receiver/receiver.h"
#include "state_file.h"

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace quelmar::aspi_virtual {

// Where the state is kept: the environment's values, or set by tests.
struct StateEnvironment {
    std::optional<std::string> stateDir;   // QUELMAR_VIRTUAL_STATE_DIR
    std::optional<std::string> runtimeDir; // XDG_RUNTIME_DIR
    std::string tmpRoot = "/tmp";
    uid_t user = 0; // the effective user, who must own the folder
    // Read from the process's environment.
    static StateEnvironment current();
};

class StateStore {
public:
    // The store of configuration `key`, or nullptr when no state is kept
    // (QUELMAR_VIRTUAL_STATE_DIR=off quietly; an unsafe or unusable folder
    // with a message on standard error).
    static std::unique_ptr<StateStore> open(const std::string &key, const StateEnvironment &environment);
    ~StateStore();
    StateStore(const StateStore &) = delete;
    StateStore &operator=(const StateStore &) = delete;

    // Takes charge of the bus's receivers (owned by the caller, alive as
    // long as this store) and brings them to the kept state. Once, before
    // any run().
    void attach(const std::map<ReceiverAddress, receiver::Receiver *> &receivers);

    // Runs one command of any receiver: other programs' changes are taken
    // up first, this command's changes are kept after it. Commands of all
    // threads run one at a time here. Any thread.
    receiver::CommandResult run(const std::function<receiver::CommandResult()> &command);

    // The state file's path, for messages and tests.
    std::string path() const { return folder_ + "/" + stateName_; }

private:
    struct Kept {
        receiver::Receiver *receiver = nullptr;
        receiver::PersistentState shared; // as the file held it when last read or written
        uint64_t changesSeen = 0;
    };
    struct Identity {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        int64_t modifiedNs = 0;
        bool operator==(const Identity &) const = default;
    };
    enum class ReadResult {
        Missing,
        Read,
        Damaged
    };

    StateStore(int folderFd, std::string folder, const std::string &key);
    Identity currentIdentity() const;
    ReadResult readFile(KeptStates *states, Identity *identity, std::string *problem) const;
    bool writeFile(const KeptStates &states, Identity *identity);
    // With mutex_ held: take up another program's change, if the file changed.
    void refresh();
    // With mutex_ held: keep this program's changes, if there are any.
    void commit();
    // With mutex_ held and the lock file locked: merges `theirs` (the file's
    // states, or none) with this program's changes and writes the result;
    // false when it could not be written.
    bool mergeAndWrite(const KeptStates *theirs);
    // Applies `states` to every receiver and takes them as shared.
    void adopt(const KeptStates &states);
    void reportDamage(const std::string &problem);

    const int folderFd_;
    const std::string folder_;
    const std::string stateName_, lockName_, tempName_;

    std::mutex mutex_; // guards everything below; taken before any receiver's
    std::map<ReceiverAddress, Kept> kept_;
    Identity seen_; // the file as last read or written here
    Identity damageReported_;
    bool writeFailureReported_ = false;
};

} // namespace quelmar::aspi_virtual
