// A small fast file server for the download benchmark: HEAD and GET of the files of one
// folder, bodies sent with sendfile. Prints its port, serves until stdin closes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

namespace {

void Serve(int client, std::string root) {
  std::string request;
  char buffer[4096];
  while (true) {
    while (request.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) {
        close(client);
        return;
      }
      request.append(buffer, static_cast<std::size_t>(n));
    }
    const bool head = request.rfind("HEAD ", 0) == 0;
    const auto begin = request.find(' ') + 1;
    std::string name = request.substr(begin, request.find(' ', begin) - begin);
    request.erase(0, request.find("\r\n\r\n") + 4);
    struct stat st {};
    int fd = name.find("..") == std::string::npos ? open((root + name).c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0 || fstat(fd, &st) != 0) {
      static const char kMissing[] = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
      send(client, kMissing, sizeof kMissing - 1, MSG_NOSIGNAL);
      if (fd >= 0) close(fd);
      continue;
    }
    std::string response = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                           std::to_string(st.st_size) + "\r\n\r\n";
    send(client, response.data(), response.size(), MSG_NOSIGNAL);
    off_t offset = 0;
    while (!head && offset < st.st_size) {
      ssize_t n = sendfile(client, fd, &offset, static_cast<std::size_t>(st.st_size - offset));
      if (n <= 0) break;
    }
    close(fd);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 16) != 0) return 1;
  socklen_t length = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
  std::printf("%d\n", ntohs(addr.sin_port));
  std::fflush(stdout);
  while (true) {
    pollfd fds[2] = {{listener, POLLIN, 0}, {0, POLLIN, 0}};
    if (poll(fds, 2, 1000) < 0) break;
    if (fds[1].revents != 0) break;  // stdin closed: the benchmark is over
    if (fds[0].revents & POLLIN) {
      int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) std::thread(Serve, client, std::string(argv[1])).detach();
    }
  }
  return 0;
}
