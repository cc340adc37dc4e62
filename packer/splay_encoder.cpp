// The context splay coder of the solid header, encoding side: for each byte it
// emits the path from the root of the current context's tree to the byte's
// leaf, then adapts the tree exactly as the stub's decoder does.
#include <memory>

#include "engine/engine.h"
#include "packer/packer.h"

namespace packer {

Bytes PackHeaderBytes(const Bytes& entries) {
  std::unique_ptr<SplayTree[]> trees(new SplayTree[kSplayTreeCount]);
  FreshContexts fresh = {};

  Bytes out;
  unsigned bitCount = 0;  // bits emitted so far
  unsigned context = 0;
  uint8_t path[kSplayFirstLeaf];  // bits leaf-to-root; a path is at most 255 steps
  for (uint8_t symbol : entries) {
    SplayTree& tree = trees[context];
    ResetOnFirstUse(&tree, context, &fresh);
    unsigned depth = 0;
    for (unsigned node = kSplayFirstLeaf + symbol; node != kSplayRoot; node = tree.up[node]) {
      const unsigned parent = tree.up[node];
      path[depth++] = tree.right[parent] == node ? 1 : 0;
    }
    while (depth > 0) {
      if (bitCount % 8 == 0) out.push_back(0);
      if (path[--depth]) out.back() = static_cast<uint8_t>(out.back() | (1u << (bitCount % 8)));
      ++bitCount;
    }
    SplaySymbol(&tree, symbol);
    context = symbol;
  }
  return out;
}

}  // namespace packer
