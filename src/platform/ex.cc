#include "platform/ex.h"

#include "platform/platform.h"

using tolvex::platform::Platform;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, const char* file,
                            int line) {
  Platform& platform = Platform::Current();
  tolvex::platform::ServiceSite site("ExAllocatePoolWithTag", file, line);
  platform.pool().CheckLevel(PoolType, Tag);
  if (platform.faults().Reach(tolvex::platform::TagText(Tag))) return nullptr;
  return platform.pool().Allocate(PoolType, NumberOfBytes, Tag);
}

void ExFreePool(PVOID P) {
  Platform::Current().pool().Free(P, std::nullopt);
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) {
  Platform::Current().pool().Free(P, Tag);
}

void ExInitializeWorkItem(PWORK_QUEUE_ITEM Item, PWORKER_THREAD_ROUTINE Routine, PVOID Parameter) {
  Item->List.Flink = nullptr;
  Item->List.Blink = nullptr;
  Item->WorkerRoutine = Routine;
  Item->Parameter = Parameter;
}

void ExQueueWorkItem(PWORK_QUEUE_ITEM Item, WORK_QUEUE_TYPE /*QueueType*/, const char* file,
                     int line) {
  Platform& platform = Platform::Current();
  tolvex::platform::ServiceSite site("ExQueueWorkItem", file, line);
  (void)platform.faults().Reach("work item", false);
  // One queue serves all three queue types: the driver asks for the critical one only.
  platform.QueueWorkItem(Item);
}
