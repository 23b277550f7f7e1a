// A bounded free list in front of a memory pool. Released units wait in the
// list, linked through one of their own fields, and are taken again before
// the pool is asked; when a release finds the list full, the unit and the
// surplus of the list go back to the pool until the list holds trimmedTo
// units, so that a burst of releases gives most memory back.
#pragma once

#include "mempool.h"
#include "tavokassert.h"

#include <cstring>

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

// An unbounded free list in front of a memory pool, for records made and
// released by the hundred thousand at the pace of statements: a release is
// one push, a take one pop, and the pool is asked only when the list is
// empty. The list never holds more than the most units that were ever in
// use at once. A released unit's first word links the list; every user
// fills a unit completely when it takes it.
template <class Unit> struct RecyclingFreeList {
  static_assert(sizeof(Unit) >= sizeof(void *));

  MemPool *pool;  // created by the first unit taken
  void *head;

  Unit *take() {
    if (void *unit = head) {
      std::memcpy(&head, unit, sizeof head);
      return static_cast<Unit *>(unit);
    }
    if (!pool)
      pool = createMemPool(1024, sizeof(Unit));
    return static_cast<Unit *>(allocateFromMemPool(pool));
  }

  void release(Unit *unit) {
    std::memcpy(static_cast<void *>(unit), &head, sizeof head);
    head = unit;
  }

  // Deletes the pool, the units waiting in the list with it.
  void deletePool() {
    if (pool)
      deleteMemPool(pool);
    pool = nullptr;
    head = nullptr;
  }
};
