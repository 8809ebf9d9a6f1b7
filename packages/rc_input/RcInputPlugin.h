// The input plugin: the "rc_input" method channel and its command table.
//
// Input commands (moves, presses, releases, double clicks, wheel turns, keys) are handed to the
// plugin's RemoteControl and never answered: the reply callback is not called. The two
// accessibility commands are answered with a boolean, and so is every command the table does
// not know and every call whose argument is not a map with string keys. Nothing is ever
// answered with an error.
//
// Arguments: integers are 32-bit signed (a 32-bit or 64-bit integer, or a float, holding an
// exact 32-bit value; not a fraction, string, list or boolean); booleans are booleans only. A
// command whose required argument is missing or of another type is dropped: no reply, nothing
// posted.
//
// Threads: handle() runs on the platform thread, where the channel delivers calls. The plugin
// keeps its RemoteControl until the client goes; all pointer and key state persists from command
// to command of one client.
#pragma once

#include <memory>

#include "platform/flutter/FlutterMethodChannel.h"
#include "platform/flutter/FlutterPlugin.h"

#define RC_INPUT_EXPORT __attribute__((visibility("default")))

namespace rc_input {

class RemoteControl;

class RcInputPlugin : public flutter::FlutterPlugin {
 public:
  // Creates the plugin, opens "rc_input" on the registrar's messenger and makes the plugin the
  // channel's delegate; the registrar keeps the plugin alive from then on. Platform thread.
  RC_INPUT_EXPORT static void registerWithRegistrar(
      std::shared_ptr<flutter::FlutterPluginRegistrar> registrar);

  // registerWithRegistrar, handing back the plugin it registered (which the registrar keeps).
  static std::shared_ptr<RcInputPlugin> registerInstance(
      const std::shared_ptr<flutter::FlutterPluginRegistrar>& registrar);

  // Creates the RemoteControl (and with it the event source); no channel yet.
  RcInputPlugin();

  // Removes the channel's handler, if there is a channel. For direct callers; the engine never
  // calls it.
  virtual void detachFromEngine(const std::shared_ptr<flutter::FlutterPluginRegistrar>& registrar);
  // Dispatches one command. Platform thread.
  virtual void handle(const flutter::FlutterMethodCall& call, flutter::FlutterResult result);

  void handleMethodCall(const flutter::FlutterMethodCall& call,
                        flutter::FlutterResult result) override {
    handle(call, std::move(result));
  }

  // The client has gone: a new RemoteControl, so that no caps-lock timing, modifier flag or
  // mouse order of the last client reaches the next. Platform thread.
  void applicationDetached() override;

  RemoteControl& getInputControl() { return *inputControl; }

 private:
  std::shared_ptr<flutter::FlutterMethodChannel> channel;
  std::shared_ptr<RemoteControl> inputControl;
};

}  // namespace rc_input
