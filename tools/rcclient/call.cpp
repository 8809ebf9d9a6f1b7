// rcclient call CHANNEL METHOD [JSON]: one method call, its reply printed as JSON.
#include <cstdio>

#include "tools/rcclient/commands.h"
#include "tools/rcclient/json_value.h"

namespace rcclient {
namespace {

using flutter::FrameKind;
using flutter::Value;

std::string DescribeReply(const flutter::ByteBuffer& bytes) {
  if (bytes.empty()) return "no handler answered (empty reply)";
  auto env = flutter::DecodeEnvelope(bytes);
  if (!env) return "undecodable reply: " + env.error;
  if (env.value->success) return ValueToJson(env.value->result);
  return "error " + env.value->code + ": " + env.value->message.value_or("") + " " +
         ValueToJson(env.value->details);
}

}  // namespace

int Call(const std::string& path, const std::vector<std::string>& args) {
  if (args.size() < 2 || args.size() > 3) return Usage();
  Value arguments;
  if (args.size() == 3) {
    std::string error;
    auto parsed = ValueFromJson(args[2], &error);
    if (!parsed) {
      std::fprintf(stderr, "rcclient: %s\n", error.c_str());
      return 2;
    }
    arguments = *parsed;
  }
  auto client = ConnectOrSay(path);
  if (!client) return 1;
  // The host handles messages one at a time, in order: once the reply to the second (a channel
  // nobody serves) is back, a reply to the first would have come already.
  if (!SendCall(*client, 1, args[0], args[1], arguments) ||
      !SendCall(*client, 2, kSyncChannel, "sync", Value())) {
    std::fprintf(stderr, "rcclient: the host closed the connection\n");
    return 1;
  }
  double deadline = Now() + 30;
  while (Now() < deadline) {
    auto frame = client->receive(deadline - Now());
    if (!frame) break;
    if (frame->kind != FrameKind::kReply) continue;  // frames and other messages
    if (frame->id == 1) {
      std::printf("%s\n", DescribeReply(frame->payload).c_str());
      return 0;
    }
    if (frame->id == 2) {
      std::printf("no reply (%s does not answer)\n", args[1].c_str());
      return 0;
    }
  }
  std::fprintf(stderr, "rcclient: %s\n",
               client->closed() ? "the host closed the connection" : "no answer within 30 s");
  return 1;
}

}  // namespace rcclient
