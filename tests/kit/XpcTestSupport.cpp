#include "tests/kit/XpcTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>

#include <cstring>

extern char** environ;

namespace velmora::testing {

using platform::UniqueFd;

ServerProcess::ServerProcess(const std::filesystem::path& directory, const std::string& name,
                             std::vector<std::string> extraArguments, int inheritedListener,
                             const std::filesystem::path& standardError)
    : directory_(directory), name_(name) {
    int input[2], output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) return;
    UniqueFd inputRead(input[0]), outputWrite(output[1]), outputRead(output[0]);
    input_.reset(input[1]);

    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::strncmp(*entry, "LISTEN_", 7) != 0) environment.emplace_back(*entry);
    if (inheritedListener >= 0) {
        // Socket activation: the service manager's variables, with LISTEN_PID set by the shell that
        // then becomes the server.
        arguments = {"/bin/sh",          "-c", "LISTEN_PID=$$ exec \"$0\" \"$@\"", KIT_XPC_TEST_SERVER,
                     directory.string(), name};
        environment.push_back("LISTEN_FDS=1");
        environment.push_back("LISTEN_FDNAMES=" + name);
    } else {
        arguments = {KIT_XPC_TEST_SERVER, directory.string(), name};
    }
    for (auto& argument : extraArguments) arguments.push_back(argument);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inputRead.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outputWrite.get(), STDOUT_FILENO);
    if (inheritedListener >= 0) posix_spawn_file_actions_adddup2(&actions, inheritedListener, 3);
    if (!standardError.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, standardError.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv, envp;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    for (auto& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        return;
    }
    inputRead.reset();
    outputWrite.reset();
    std::string line;
    char byte;
    while (::read(outputRead.get(), &byte, 1) == 1 && byte != '\n') line += byte;
    ready_ = line == "ready";
}

int ServerProcess::wait() {
    if (pid_ < 0 || reaped_) return -1;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
    return status;
}

ServerProcess::~ServerProcess() {
    input_.reset();  // the server ends when its input closes
    if (pid_ > 0 && !reaped_) {
        auto deadline = std::chrono::steady_clock::now() + kWait;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            ::usleep(10000);
        }
    }
}

std::optional<ClientEnd> ClientEnd::connect(const std::string& path) {
    auto connection = kit::xpc::Connection::connectToService(path);
    if (!connection) return std::nullopt;
    ClientEnd end;
    end.connection = *connection;
    end.connection->setExportedInterface(kit::VelmoraHelperXPCInterface::clientInterface());
    end.connection->setExportedObject<kit::VelmoraHelperClientXPCProtocol>(end.recorder);
    end.connection->setRemoteObjectInterface(kit::VelmoraHelperXPCInterface::helperInterface());
    end.connection->setInvalidationHandler([ends = end.ends] { ends->hit("invalidation"); });
    end.connection->setInterruptionHandler([ends = end.ends] { ends->hit("interruption"); });
    end.connection->resume();
    return end;
}

UniqueFd rawConnect(const std::string& path) {
    UniqueFd socket = rawConnectUnadmitted(path);
    auto first = socket.valid() ? rawReceive(socket.get()) : std::nullopt;
    // A discarded value (the end) compares unequal to nothing, so it is tested for itself.
    if (!first || first->is_discarded() || *first != nlohmann::json::parse(kit::xpc::kAcceptedAnnouncement))
        return UniqueFd();
    return socket;
}

UniqueFd rawConnectUnadmitted(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    UniqueFd socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        return UniqueFd();
    return socket;
}

int rawSend(int socket, const std::string& bytes, const std::vector<int>& fds, int flags) {
    iovec io{const_cast<char*>(bytes.data()), bytes.size()};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
    if (!fds.empty()) {
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(header), fds.data(), sizeof(int) * fds.size());
    }
    return ::sendmsg(socket, &message, MSG_NOSIGNAL | flags) < 0 ? errno : 0;
}

std::optional<nlohmann::json> rawReceive(int socket, std::chrono::milliseconds timeout) {
    pollfd poller{socket, POLLIN, 0};
    if (::poll(&poller, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    std::vector<char> buffer(256 * 1024);
    ssize_t length = ::recv(socket, buffer.data(), buffer.size(), 0);
    if (length <= 0) return nlohmann::json(nlohmann::json::value_t::discarded);
    return nlohmann::json::parse(buffer.data(), buffer.data() + length, nullptr, false);
}

bool rawWaitForEnd(int socket, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<char> buffer(256 * 1024);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd poller{socket, POLLIN, 0};
        if (::poll(&poller, 1, 100) <= 0) continue;
        ssize_t length = ::recv(socket, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (length == 0 || (length < 0 && errno != EAGAIN)) return true;
    }
    return false;
}

bool pipeReachesEnd(int fd, std::chrono::milliseconds timeout) {
    pollfd poller{fd, POLLIN, 0};
    if (::poll(&poller, 1, static_cast<int>(timeout.count())) <= 0) return false;
    char byte;
    return ::read(fd, &byte, 1) == 0;
}

}  // namespace velmora::testing
