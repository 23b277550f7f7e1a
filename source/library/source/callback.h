// The functions through which the keyed containers (balanced tree,
// dictionary, hash table) learn about the words they store. The containers
// never look inside a key or a data word; every question about them goes to
// the caller through one of these.
#pragma once

#include "words.h"

// Orders a stored key against a sought key: 0 when equal, positive when the
// stored key orders after the sought key, negative when before. The
// dictionary only asks for equality.
using CompareFunction = int (*)(Word storedKey, Word soughtKey);

// Called with the key and data of an entry that leaves a container through
// removal or destruction. The container owns the entry, the caller the words.
using DeleteFunction = void (*)(Word key, Word data);

using HashFunction = unsigned (*)(Word key);

// Called once per entry during a traversal; returning 0 stops the traversal.
using VisitFunction = int (*)(Word argument, Word key, Word data);
