// The messenger socket, both ends: the wire format, the host's server and the client.
#pragma once

#include "platform/flutter/messenger_client.h"
#include "platform/flutter/messenger_server.h"
#include "platform/flutter/messenger_wire.h"
