// The order-1 context splay coder of the solid header, decoding side: one
// tree per context byte, semi-splayed after every symbol; the packer's
// encoder adapts the same trees.
#include <cstdint>

#include "engine/engine.h"

void ResetSplayTree(SplayTree* tree) {
  for (uint32_t j = 2; j < 2 * kSplayFirstLeaf; ++j) tree->up[j] = static_cast<uint16_t>(j >> 1);
  for (uint32_t i = 1; i < kSplayFirstLeaf; ++i) {
    tree->left[i] = static_cast<uint16_t>(2 * i);
    tree->right[i] = static_cast<uint16_t>(2 * i + 1);
  }
  tree->left[0] = tree->right[0] = 0;
  tree->up[0] = tree->up[1] = 0;
}

// Semi-splay of leaf 256 + s: the node and its parent's sibling change
// places, and the walk goes on from the grandparent.
void SplaySymbol(SplayTree* tree, int s) {
  uint32_t a = kSplayFirstLeaf + (static_cast<uint32_t>(s) & 0xFF);
  for (;;) {
    const uint32_t p = tree->up[a];
    if (p == kSplayRoot) return;
    const uint32_t g = tree->up[p];
    uint32_t b;
    if (tree->right[g] == p) {
      b = tree->left[g];
      tree->left[g] = static_cast<uint16_t>(a);
    } else {
      b = tree->right[g];
      tree->right[g] = static_cast<uint16_t>(a);
    }
    if (tree->left[p] == a)
      tree->left[p] = static_cast<uint16_t>(b);
    else
      tree->right[p] = static_cast<uint16_t>(b);
    tree->up[b] = static_cast<uint16_t>(p);
    tree->up[a] = static_cast<uint16_t>(g);
    a = g;
    if (a == kSplayRoot) return;
  }
}

// Decodes every bit of the packed bytes (least significant first), padding
// included. Stops when the output buffer is full; the caller that needs to
// know whether more was asked for gives a buffer larger than any valid result.
uint32_t UnpackHeader(uint32_t packedLength, const uint8_t* packed, uint8_t* output,
                      uint32_t outputSize, SplayTree* const* trees) {
  FreshContexts fresh = {};
  uint32_t context = 0, node = kSplayRoot, produced = 0;
  ResetOnFirstUse(trees[context], context, &fresh);
  for (uint32_t i = 0; i < packedLength && produced < outputSize; ++i) {
    const uint32_t byte = packed[i];
    for (int bit = 0; bit < 8; ++bit) {
      const SplayTree* tree = trees[context];
      node = ((byte >> bit) & 1u) ? tree->right[node] : tree->left[node];
      if (node >= kSplayFirstLeaf) {
        const uint32_t s = node - kSplayFirstLeaf;
        SplaySymbol(trees[context], static_cast<int>(s));
        output[produced++] = static_cast<uint8_t>(s);
        context = s;
        ResetOnFirstUse(trees[context], context, &fresh);
        node = kSplayRoot;
        if (produced == outputSize) break;
      }
    }
  }

  return produced;
}
