// Process limits the servers need raised: open descriptors.
#pragma once

// Raises the process's soft limit on open descriptors to its hard limit (a relay binding holds
// one descriptor, so the default soft limit of 1024 would cap a server at about a thousand
// allocations). Returns the soft limit in force afterwards, -1 when it cannot be read. Safe to
// call from any thread and more than once.
long IdRaiseDescriptorLimit() noexcept;
