// SPDX-License-Identifier: GPL-3.0-or-later
// The guard that keeps the simulator off the machine's real network.
#pragma once

enum class NamespaceState { Private, Shared, Unknown };

// Private when this process's network namespace is not PID 1's, Shared when
// it is, Unknown when PID 1's cannot be read.
NamespaceState network_namespace_state();
