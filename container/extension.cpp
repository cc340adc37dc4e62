// The extension record's questions. (Until the record's reader lands here,
// only Asks: the record is filled by whoever builds the StoredOptions.)
#include "container/extension.h"

#include "container/container.h"

bool Asks(const StoredOptions& options, uint32_t bit) {
  return options.extension.present && (options.extension.behaviour & bit) != 0;
}
