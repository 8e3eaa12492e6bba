// A headless owner of one line serving it over HTTP, for the server's tests
// and benchmark: serve_fixture DEVICE [--listen [ADDR:]PORT] [--interval S]
// [--max-clients N] [--descriptor-sets 1]. Prints "serving URL TOKEN" once it listens (port 0:
// any free one), then runs until SIGTERM.
#include "server/http_server.h"
#include "server/line_owner.h"
#include "server/token.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {
int g_pipe[2];
void OnTerm(int)
{
    const char c = 1;
    (void)!::write(g_pipe[1], &c, 1);
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: serve_fixture DEVICE [--listen [ADDR:]PORT] [--interval S] [--max-clients N]\n");
        return 2;
    }
    server::LineOwner::Setup setup;
    setup.device = argv[1];
    QString listen = "127.0.0.1:0";
    int maxClients = server::HttpServer::kMaxClients;
    bool descriptorSets = false;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        if (k == "--listen")
            listen = argv[i + 1];
        else if (k == "--interval")
            setup.interval = std::atof(argv[i + 1]);
        else if (k == "--max-clients")
            maxClients = std::atoi(argv[i + 1]);
        else if (k == "--descriptor-sets")
            descriptorSets = std::string(argv[i + 1]) == "1";
        else if (k == "--name")
            setup.names = {argv[i + 1]};
    }
    QHostAddress address;
    quint16 port = 0;
    QString error;
    if (listen.endsWith(":0")) {
        address.setAddress(listen.left(listen.size() - 2));
    } else if (!server::ParseListenAddress(listen, &address, &port, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 2;
    }
    std::string token, why;
    if (!server::LoadOrCreateToken(server::TokenPath(), &token, &why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    server::Hub hub;
    server::LineOwner owner(hub, setup);
    if (!owner.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    server::HttpServer http(hub, token);
    http.setMaxClients(maxClients);
    http.setDescriptorSets(descriptorSets);
    if (!http.start(address, port, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    if (::pipe(g_pipe) != 0)
        return 1;
    std::signal(SIGTERM, OnTerm);
    std::signal(SIGINT, OnTerm);
    QSocketNotifier term(g_pipe[0], QSocketNotifier::Read);
    QObject::connect(&term, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    std::printf("serving %s %s\n", qPrintable(http.url()), token.c_str());
    std::fflush(stdout);
    return app.exec();
}
