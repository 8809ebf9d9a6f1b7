// rcclient's subcommands, one a file, and what they share.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/flutter/messenger_client.h"
#include "platform/flutter/standard_codec.h"

namespace rcclient {

// A channel nobody serves: the reply to a call on it marks that the host has handled every
// message sent before it.
inline constexpr const char* kSyncChannel = "rcclient/sync";

// The subcommands: `path` is the socket, `args` what follows the subcommand's name. Each returns
// the process's exit status.
int Call(const std::string& path, const std::vector<std::string>& args);
int Record(const std::string& path, const std::vector<std::string>& args);
int InputBurst(const std::string& path, const std::vector<std::string>& args);
int InputSingle(const std::string& path, const std::vector<std::string>& args);

// Prints the usage and returns the status of a bad command line.
int Usage();
double Now();
int64_t MonotonicNs();
// Connects, or says why not on standard error and returns null.
std::unique_ptr<flutter::MessengerSocketClient> ConnectOrSay(const std::string& path);
bool SendCall(flutter::MessengerSocketClient& client, uint32_t id, const std::string& channel,
              const std::string& method, const flutter::Value& args);
// Waits for the reply with `id`, taking whatever else comes meanwhile; false when none came.
bool AwaitReply(flutter::MessengerSocketClient& client, uint32_t id, double seconds);

}  // namespace rcclient
