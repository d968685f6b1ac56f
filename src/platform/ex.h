// Executive services: pool memory with tags, and work items run by system worker threads.
//
// Pool. Every allocation carries a four-character tag and is counted per tag by the platform
// that made it (platform.h: PoolMonitor). New memory is filled with a pattern, never zeroed,
// so that a record used before it is initialised shows up. Freeing memory that the pool does
// not hold (freed twice, or never allocated) stops the process, as does unloading a driver
// while memory with its tag is still allocated. Paged pool may not be allocated at
// DISPATCH_LEVEL. A test can make chosen allocations fail.
//
// Work items. ExQueueWorkItem hands an item to the platform's critical work queue; one of its
// system worker threads takes it off the queue and then calls its routine at PASSIVE_LEVEL,
// so the routine may free the item or queue it again. Queuing an item that is still queued
// stops the process. A routine that returns at a raised level (a spin lock left held) stops
// the process too.
#pragma once

#include "platform/ntdef.h"

enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1 };

// The caller's file and line name its site for fault injection (platform.h: FaultSites).
[[nodiscard]] PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                                          const char* file = __builtin_FILE(),
                                          int line = __builtin_LINE());
void ExFreePool(PVOID P);
void ExFreePoolWithTag(PVOID P, ULONG Tag);

using PWORKER_THREAD_ROUTINE = void (*)(PVOID Parameter);

struct WORK_QUEUE_ITEM {
  LIST_ENTRY List;  // Flink is non-null while the item is queued
  PWORKER_THREAD_ROUTINE WorkerRoutine;
  PVOID Parameter;
};
using PWORK_QUEUE_ITEM = WORK_QUEUE_ITEM*;

enum WORK_QUEUE_TYPE { CriticalWorkQueue = 0, DelayedWorkQueue = 1, HyperCriticalWorkQueue = 2 };

void ExInitializeWorkItem(PWORK_QUEUE_ITEM Item, PWORKER_THREAD_ROUTINE Routine, PVOID Parameter);
void ExQueueWorkItem(PWORK_QUEUE_ITEM Item, WORK_QUEUE_TYPE QueueType,
                     const char* file = __builtin_FILE(), int line = __builtin_LINE());
