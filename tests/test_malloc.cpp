// The Mq allocation wrappers.
#include <gtest/gtest.h>

#include <climits>

#include "Mqmalloc.h"

TEST(Mqmalloc, CallocReturnsZeroFilledBytes) {
  unsigned char *p = (unsigned char *)Mqcalloc(3, 120);
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 360; i++) ASSERT_EQ(p[i], 0) << "byte " << i;
  EXPECT_EQ(Mqfree(p), 1);
}

TEST(Mqmalloc, FreeOfNullReturnsOne) { EXPECT_EQ(Mqfree(nullptr), 1); }

TEST(Mqmalloc, CallocRefusesASizeProductThatOverflows) {
  EXPECT_EQ(Mqcalloc(ULONG_MAX / 2, 3), nullptr);
}

TEST(Mqmalloc, ReallocKeepsTheContents) {
  char *p = (char *)Mqmalloc(4);
  ASSERT_NE(p, nullptr);
  p[0] = 'h'; p[1] = 'y'; p[2] = 'b'; p[3] = 0;
  p = (char *)Mqrealloc(p, 4096);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p, "hyb");
  Mqfree(p);
}

TEST(Mqmalloc, MemalignHonoursTheAlignment) {
  void *p = Mqmemalign(64, 100);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ((unsigned long)p % 64, 0u);
  Mqfree(p);
}

TEST(MqmallocDeathTest, CheckedCallocEndsTheProgramWhenMemoryRunsOut) {
  EXPECT_EXIT(Mqcalloc_checked(ULONG_MAX / 2, 3), ::testing::ExitedWithCode(1),
              "Out of memory");
}
