// A TCP client with its own stack handler attached (as the program attaches one), pointed at a
// loopback port, with every status event and intercept call recorded in order.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net/Intercept.h"
#include "net/SocketHandler.h"
#include "net/TCPClient.h"

namespace larkpost {

struct RecordingClient {
    std::vector<std::string> events;
    TLpIOHandlerStack handler;
    TLpTCPClient client;
    TLpConnectionIntercept intercept;

    explicit RecordingClient(uint16_t port, const std::string& host = "127.0.0.1",
                             int readTimeoutMs = 5000) {
        auto status = [this](TLpComponent*, TLpStatus, const std::string& text) {
            events.push_back(text);
        };
        client.OnStatus = status;
        handler.OnStatus = status;
        client.OnConnected = [this](TLpBaseComponent*) { events.push_back("OnConnected"); };
        client.OnDisconnected = [this](TLpBaseComponent*) { events.push_back("OnDisconnected"); };
        intercept.OnConnect = [this](TLpConnectionIntercept*) {
            events.push_back("intercept connect");
        };
        intercept.OnDisconnect = [this](TLpConnectionIntercept*) {
            events.push_back("intercept disconnect");
        };
        client.SetHost(host);
        client.SetPort(port);
        client.SetReadTimeout(readTimeoutMs);
        client.SetIOHandler(&handler);
        client.SetIntercept(&intercept);
    }
    ~RecordingClient() {
        try {
            client.CloseConnection(false);
        } catch (...) {
        }
    }
    TLpIOHandler& io() { return handler; }
};

}  // namespace larkpost
