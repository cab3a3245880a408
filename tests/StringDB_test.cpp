#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/runtime/TapRuntime.h"
#include "support/Kovlib.h"

class StringDBTest : public ::testing::Test {
protected:
  void SetUp() override { live = TapRuntimeControl()->liveBlocks; }
  void TearDown() override
  {
    StringDBDestroy(&list);
    EXPECT_EQ(TapRuntimeControl()->liveBlocks, live);
    TapRuntimeControl()->failAllocAt = 0;
  }
  StringDBRecord list = {};
  int64_t live = 0;
};

TEST_F(StringDBTest, QueueOfOneFolder)
{
  ASSERT_EQ(StringDBInit(&list, 1024), 1);
  EXPECT_EQ(StringDBEOF(&list), 1);
  EXPECT_EQ(StringDBAdd(&list, "/ProgramFiles"), 0u);
  EXPECT_EQ(StringDBCurrent(&list), 0u);
  EXPECT_EQ(StringDBEOF(&list), 0);
  EXPECT_STREQ(StringDBGet(&list, 0), "/ProgramFiles");
  EXPECT_EQ(StringDBNext(&list), 14u);
  EXPECT_EQ(StringDBEOF(&list), 1);
  EXPECT_EQ(StringDBNext(&list), 0u); // at the end: no move
  EXPECT_EQ(StringDBCurrent(&list), 14u);
}

TEST_F(StringDBTest, DuplicatesKeepTheirFirstOffset)
{
  StringDBInit(&list, 1024);
  EXPECT_EQ(StringDBAdd(&list, "a"), 0u);
  EXPECT_EQ(StringDBAdd(&list, "bc"), 2u);
  char *end = list.end;
  EXPECT_EQ(StringDBAdd(&list, "a"), 0u);
  EXPECT_EQ(StringDBAdd(&list, "bc"), 2u);
  EXPECT_EQ(list.end, end);
  EXPECT_EQ(StringDBAdd(&list, "b"), 5u); // a prefix is a different string
}

TEST_F(StringDBTest, GrowingKeepsTheCursorAndEveryString)
{
  StringDBInit(&list, 16);
  StringDBAdd(&list, "first");
  StringDBAdd(&list, "second");
  dword third = StringDBAdd(&list, "third");
  StringDBNext(&list);
  StringDBNext(&list);
  ASSERT_EQ(StringDBCurrent(&list), third);
  std::string many;
  for (int i = 0; i < 2000; i++)
    StringDBAdd(&list, ("/ProgramFiles/folder" + std::to_string(i)).c_str());
  EXPECT_GT(list.capacity, 16u);
  EXPECT_EQ(StringDBCurrent(&list), third);
  EXPECT_STREQ(StringDBGet(&list, StringDBCurrent(&list)), "third");
  EXPECT_STREQ(StringDBGet(&list, 0), "first");
  EXPECT_EQ(StringDBAdd(&list, "/ProgramFiles/folder1999"), StringDBAdd(&list, "/ProgramFiles/folder1999"));
  int count = 0;
  while (!StringDBEOF(&list)) {
    count++;
    StringDBNext(&list);
  }
  EXPECT_EQ(count, 2001); // "third" and the 2000 folders
}

TEST_F(StringDBTest, TextsLongerThanTheGrowthStepStillFit)
{
  StringDBInit(&list, 0);
  EXPECT_EQ(StringDBAdd(&list, "x"), 0u); // 2 x 1 bytes would leave no spare zero
  std::string big(10000, 'y');
  dword at = StringDBAdd(&list, big.c_str());
  EXPECT_EQ(at, 2u);
  EXPECT_EQ(StringDBGet(&list, at), big);
  EXPECT_GE(list.capacity, 2u + big.size() + 2);
  EXPECT_EQ(*list.end, 0);
}

TEST_F(StringDBTest, AddingAPieceOfItsOwnBufferWhileGrowing)
{
  StringDBInit(&list, 12);
  StringDBAdd(&list, "abcdefghij");
  // The suffix "fghij" lies inside the buffer that the growth replaces.
  dword at = StringDBAdd(&list, StringDBGet(&list, 5));
  EXPECT_STREQ(StringDBGet(&list, at), "fghij");
}

TEST_F(StringDBTest, EmptyStringEndsTheWalk)
{
  StringDBInit(&list, 64);
  StringDBAdd(&list, "a");
  StringDBAdd(&list, "");
  StringDBAdd(&list, "b");
  StringDBNext(&list);
  EXPECT_EQ(StringDBEOF(&list), 1);
}

TEST_F(StringDBTest, FailedAllocationsLeaveTheListAsItWas)
{
  TapRuntime *rt = TapRuntimeControl();
  rt->failAllocAt = rt->allocCalls + 1;
  EXPECT_EQ(StringDBInit(&list, 1024), 0);
  EXPECT_EQ(list.capacity, 0u);
  EXPECT_EQ(StringDBEOF(&list), 1);

  rt->failAllocAt = 0;
  StringDBInit(&list, 8);
  StringDBAdd(&list, "abc");
  rt->failAllocAt = rt->allocCalls + 1;
  EXPECT_EQ(StringDBAdd(&list, "longer than eight"), 0u);
  EXPECT_EQ(list.capacity, 8u);
  EXPECT_STREQ(StringDBGet(&list, 0), "abc");
  EXPECT_EQ(list.end - list.start, 4);
}

TEST_F(StringDBTest, MissingListOrText)
{
  EXPECT_EQ(StringDBInit(nullptr, 10), 0);
  EXPECT_EQ(StringDBAdd(nullptr, "a"), 0u);
  StringDBInit(&list, 10);
  EXPECT_EQ(StringDBAdd(&list, nullptr), 0u);
  EXPECT_EQ(StringDBCurrent(nullptr), 0u);
  EXPECT_EQ(StringDBGet(nullptr, 0), nullptr);
  EXPECT_EQ(StringDBEOF(nullptr), 1);
  EXPECT_EQ(StringDBNext(nullptr), 0u);
  EXPECT_EQ(StringDBDestroy(nullptr), 0);
  EXPECT_EQ(StringDBDestroy(&list), 1);
  EXPECT_EQ(list.capacity, 0u);
  EXPECT_EQ(StringDBAdd(&list, "again"), 0u); // grows from nothing
  EXPECT_STREQ(StringDBGet(&list, 0), "again");
}

// The list as the plain linear walk builds it: the yardstick for the index.
struct LinearList {
  std::string bytes;
  bool Has(const std::string &t) const { return Find(t) != std::string::npos; }
  size_t Find(const std::string &t) const
  {
    for (size_t at = 0; at < bytes.size(); at += strlen(bytes.c_str() + at) + 1)
      if (t == bytes.c_str() + at)
        return at;
    return std::string::npos;
  }
  dword Add(const std::string &t)
  {
    size_t at = Find(t);
    if (at != std::string::npos)
      return (dword)at;
    at = bytes.size();
    bytes += t;
    bytes += '\0';
    return (dword)at;
  }
};

std::vector<std::string> Folders(int n)
{
  std::vector<std::string> texts;
  uint32_t x = 1;
  for (int i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    unsigned k = (x >> 16) % (unsigned)(n / 3 + 1);
    texts.push_back(k % 50 == 0 ? "" : "/ProgramFiles/f" + std::to_string(k) + (k % 4 ? "/sub" : ""));
  }
  return texts;
}

TEST_F(StringDBTest, ManyFoldersGetTheOffsetsOfTheLinearWalk)
{
  StringDBInit(&list, 1024);
  LinearList model;
  for (const std::string &t : Folders(4000))
    ASSERT_EQ(StringDBAdd(&list, t.c_str()), model.Add(t)) << t;
  EXPECT_EQ(std::string(list.start, list.end), model.bytes);

  // Another list takes the index over; this one is still searched right.
  StringDBRecord other = {};
  StringDBInit(&other, 16);
  EXPECT_EQ(StringDBAdd(&other, "/ProgramFiles/f7"), 0u);
  for (const std::string &t : Folders(300))
    EXPECT_EQ(StringDBAdd(&list, t.c_str()), model.Add(t)) << t;
  EXPECT_EQ(StringDBAdd(&other, "/ProgramFiles/f7"), 0u);
  StringDBDestroy(&other);
}

TEST_F(StringDBTest, AnIndexWithoutMemoryChangesNoOffset)
{
  TapRuntime *rt = TapRuntimeControl();
  const std::vector<std::string> texts = Folders(600);
  for (bool from : {false, true})
    for (uint64_t n = 1;; n++) {
      StringDBDestroy(&list);
      LinearList model;
      rt->failAllocAt = rt->allocCalls + n;
      rt->failAllocFrom = from;
      StringDBInit(&list, 64);
      for (const std::string &t : texts) {
        bool present = model.Has(t);
        dword used = (dword)(list.end - list.start);
        dword got = StringDBAdd(&list, t.c_str());
        if (!present && (dword)(list.end - list.start) == used) {
          EXPECT_EQ(got, 0u) << "only a refused growth adds nothing";
          continue;
        }
        ASSERT_EQ(got, model.Add(t)) << "failing allocation " << n << (from ? "+" : "") << ", " << t;
      }
      bool injected = rt->allocCalls >= rt->failAllocAt;
      rt->failAllocAt = 0;
      rt->failAllocFrom = false;
      if (!injected)
        break;
    }
}
