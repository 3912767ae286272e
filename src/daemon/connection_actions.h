// How a connection request fills the connection settings records.
#pragma once

#include "net/connection_info.h"
#include "value/pobject.h"

// Assigns every member the request may carry, present or not (absent
// members read as 0, false or empty); the other fields keep the values of a
// fresh record, so no password is ever taken from a control request.
void prepare_connection_info(const PObject& msg, ConnectionInfo& info, ProxyInfo& proxy, TunnelInfo& tunnel);
