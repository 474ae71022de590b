// servala: runs the HTTP server control on a document root until SIGINT or SIGTERM.
//   servala [--port N] [--bind ADDRESS] [--root DIR] [--ssi] [--properties FILE] [--about]
// --bind keeps the server on one local address (127.0.0.1 keeps it to this machine); by default
// it listens on every IPv4 address.
#include <asio.hpp>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "property_file.h"
#include "servala/server.h"

namespace {

int Usage() {
  std::fprintf(
      stderr,
      "usage: servala [--port N] [--bind ADDRESS] [--root DIR] [--ssi] [--properties FILE] "
      "[--about]\n");
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  std::string port, bind, root, propertiesPath;
  bool ssi = false, about = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (arg == "--port") {
      if (!next(port)) return Usage();
    } else if (arg == "--bind") {
      if (!next(bind)) return Usage();
    } else if (arg == "--root") {
      if (!next(root)) return Usage();
    } else if (arg == "--properties") {
      if (!next(propertiesPath)) return Usage();
    } else if (arg == "--ssi") {
      ssi = true;
    } else if (arg == "--about") {
      about = true;
    } else {
      return Usage();
    }
  }

  // The default concurrency hint, not 1: the control runs nested polls of the loop, and with the
  // one-thread hint Asio loses count of the work queued before such a poll and stops the loop.
  asio::io_context io;
  servala::ServalaLiteServer server(io);
  if (about) {
    server.ShowAboutBox();
    return 0;
  }

  servala::PropertyFile bag;
  const bool restored = !propertiesPath.empty() && bag.Load(propertiesPath);
  if (restored)
    server.ReadProperties(bag);
  else
    server.InitProperties();
  if (!port.empty()) server.ServerPort(port);
  if (ssi) server.SSIEnable(true);
  if (!root.empty()) {
    server.VirtualPath(std::filesystem::absolute(root).lexically_normal().string());
  } else if (server.VirtualPath().empty()) {
    server.VirtualPath(std::filesystem::current_path().string());
  }

  server.BindAddress = bind;
  try {
    server.StartServer();
  } catch (const servala::ServalaError& e) {
    std::fprintf(stderr, "%s\n", e.Description.c_str());
    return 2;
  }
  // The address really listened on: "0.0.0.0" when it is every address of the machine.
  std::printf("listening on http://%s:%d/\n", server.ListeningAddress().c_str(),
              server.ListeningPort());
  std::fflush(stdout);

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](std::error_code ec, int) {
    if (ec) return;
    server.StopServer();
    if (!propertiesPath.empty()) {
      server.WriteProperties(bag);
      if (!bag.Save(propertiesPath))
        std::fprintf(stderr, "cannot write %s\n", propertiesPath.c_str());
    }
    io.stop();
  });
  io.run();
  return 0;
}
