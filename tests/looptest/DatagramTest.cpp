// SPDX-License-Identifier: Apache-2.0
// Golden vectors and byte layout of the loop-test datagrams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "looptest/Datagram.h"
#include "support/Hex.h"

namespace pathmon {
namespace {

using pathmon::testing::Hex;

TEST(Signing, MatchesTheReferenceVectors) {
  KeyDigest digest = DeriveKeyDigest(nullptr, "SN12345");
  EXPECT_EQ(Hex(digest), "3b2dce43ca1546dc5879d45a18a936ae");
  EXPECT_EQ(Hex(ComputeSignature(digest, Nonce{})), "367cefc3e9e1c1eda16657851ddd95f8cd22ed54");
  EXPECT_EQ(Hex(ComputeSignature(digest, Nonce{1, 2, 3, 4, 5, 6, 7, 8})),
            "bec97606dfe1eb4d1fa167dd4ab51d1d37d1207f");

  KeyDigest empty = DeriveKeyDigest(nullptr, "");
  EXPECT_EQ(Hex(empty), "cd2e649ed97ac1a6a638a43191352592");
  EXPECT_EQ(Hex(ComputeSignature(empty, Nonce{})), "494ecdcc7c1afb75c091b0bc5208994b8c4186bb");
}

TEST(Signing, KeyMaterialIsPrefixSerialAndKeyExactlyAsGiven) {
  // Letter case is part of the material; a prefix is simply prepended.
  EXPECT_NE(DeriveKeyDigest(nullptr, "sn12345"), DeriveKeyDigest(nullptr, "SN12345"));
  EXPECT_EQ(DeriveKeyDigest("SN", "12345"), DeriveKeyDigest(nullptr, "SN12345"));
  // An over-long serial number is cut at the buffer, not written past it.
  std::string huge(2000, 'x');
  EXPECT_EQ(DeriveKeyDigest(nullptr, huge.c_str()),
            DeriveKeyDigest(nullptr, std::string(2000, 'x').c_str()));
}

TEST(DatagramLayout, ControlMessageIsTheSignatureAndZeros) {
  Signature sig = ComputeSignature(DeriveKeyDigest(nullptr, "SN12345"), Nonce{});
  uint8_t a[kDatagramSize];
  uint8_t b[kDatagramSize];
  std::fill(std::begin(b), std::end(b), 0xAA);
  BuildControlMessage(sig, a);
  BuildControlMessage(sig, b);
  EXPECT_EQ(0, std::memcmp(a, b, kDatagramSize));
  EXPECT_EQ(0, std::memcmp(a, sig.data(), kSignatureSize));
  for (std::size_t i = kSignatureSize; i < kDatagramSize; ++i) ASSERT_EQ(a[i], 0) << i;
}

TEST(DatagramLayout, TestFrameFieldsAreLittleEndianAtTheirOffsets) {
  Signature sig{};
  sig.fill(0x5A);
  Nonce nonce{1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t f[kDatagramSize];
  BuildTestFrame(sig, nonce, 0x01020304, 0xA1B2C3D4, f);
  EXPECT_EQ(0, std::memcmp(f, sig.data(), 20));
  EXPECT_EQ(0, std::memcmp(f + 20, nonce.data(), 8));
  const uint8_t tail[] = {0, 0, 0, 0, 0x04, 0x03, 0x02, 0x01, 0xD4, 0xC3, 0xB2, 0xA1, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(f + 28, tail, sizeof tail));
  for (std::size_t i = 44; i < kDatagramSize; ++i) ASSERT_EQ(f[i], 0) << i;

  uint8_t g[kDatagramSize];
  BuildTestFrame(sig, nonce, 0x01020305, 0xA1B2C3D5, g);
  int differing = 0;
  for (std::size_t i = 0; i < kDatagramSize; ++i) differing += f[i] != g[i];
  EXPECT_EQ(differing, 2);  // only the low bytes of sequence and send tick
}

TEST(DatagramLayout, ShortRepliesReadAsZeroPadded) {
  uint8_t reply[30] = {};
  reply[20] = 9;
  reply[28] = 1;
  reply[29] = 2;
  PhoneDatagram d = ReadPhoneDatagram(reply, sizeof reply);
  EXPECT_EQ(d.nonce[0], 9);
  EXPECT_EQ(d.endFlag, 0x0201u);
  EXPECT_EQ(d.sequence, 0u);
  EXPECT_EQ(d.sendTick, 0u);
}

}  // namespace
}  // namespace pathmon
