// A directory host that is slow on purpose, for the desktop check and the screenshots: it
// answers one request with the header and the first part of the body, then holds the
// connection until the client lets it go. It tells what happens on its standard output, one
// line each: "port N" once listening, "request" when the request has come, "closed" when the
// client closed the connection (and then it ends).
//
// Usage: trailmark_slow_server [SENT_BYTES [TOTAL_BYTES]]
#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <cstdio>
#include <cstdlib>

namespace {
void Say(const QByteArray& line) {
  std::fputs(line.constData(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}
}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const qint64 sent = argc > 1 ? std::atoll(argv[1]) : 40000;
  const qint64 total = argc > 2 ? std::atoll(argv[2]) : 100000;

  QTcpServer server;
  if (!server.listen(QHostAddress::LocalHost)) return 1;
  QByteArray request;
  QObject::connect(&server, &QTcpServer::newConnection, [&] {
    QTcpSocket* s = server.nextPendingConnection();
    server.close();  // one client
    QObject::connect(s, &QTcpSocket::readyRead, [&, s] {
      const bool whole = request.contains("\r\n\r\n");
      request += s->readAll();
      if (whole || !request.contains("\r\n\r\n")) return;
      Say("request");
      s->write("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
               QByteArray::number(total) + "\r\n\r\n" + QByteArray(sent, 'x'));
    });
    QObject::connect(s, &QTcpSocket::disconnected, [&] {
      Say("closed");
      app.quit();
    });
  });
  Say("port " + QByteArray::number(server.serverPort()));
  return app.exec();
}
