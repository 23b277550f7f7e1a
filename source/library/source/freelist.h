// A bounded free list in front of a memory pool. Released units wait in the
// list, linked through one of their own fields, and are taken again before
// the pool is asked; when a release finds the list full, the unit and the
// surplus of the list go back to the pool until the list holds trimmedTo
// units, so that a burst of releases gives most memory back.
#pragma once

#include "mempool.h"
#include "tavokassert.h"

template <class Unit, Unit *Unit::*link, int maximum, int trimmedTo> struct BoundedFreeList {
  static_assert(0 <= trimmedTo && trimmedTo < maximum);

  MemPool *pool;  // created by the first unit taken
  Unit *head;
  int count;

  // A unit with the contents its last user left, or a fresh one.
  Unit *take() {
    if (head) {
      ASSERT(count);
      Unit *unit = head;
      head = unit->*link;
      --count;
      return unit;
    }
    ASSERT(!count);
    if (!pool)
      pool = createMemPool(1024, sizeof(Unit));
    return static_cast<Unit *>(allocateFromMemPool(pool));
  }

  void release(Unit *unit) {
    ASSERT(pool);
    if (count < maximum) {
      unit->*link = head;
      head = unit;
      ++count;
      return;
    }
    freeToMemPool(pool, unit);
    while (count > trimmedTo) {
      Unit *surplus = head;
      head = surplus->*link;
      --count;
      freeToMemPool(pool, surplus);
    }
  }
};
