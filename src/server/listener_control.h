// CListenerControl: what the management router may have the listener do. Called on the
// listener's thread only (the router runs there).
#pragma once

#include <cstdint>

namespace zelm {

class CListenerControl {
 public:
  virtual ~CListenerControl() = default;
  // Whether the listening socket is open.
  virtual bool IsActive() const = 0;
  // Listens again on the configured address (nothing when listening already).
  virtual bool Activate() = 0;
  // Closes the listening socket; sessions stay.
  virtual void Deactivate() = 0;
};

}  // namespace zelm
