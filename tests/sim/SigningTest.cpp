// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>

#include "sim/Signing.h"
#include "support/Hex.h"

namespace pathmon::sim {
namespace {

using pathmon::testing::Hex;

TEST(PhoneSigning, KnownVectorsForASerialNumber) {
  const Digest16 key = PhoneKeyDigest("SN12345");
  EXPECT_EQ(Hex(key), "3b2dce43ca1546dc5879d45a18a936ae");
  EXPECT_EQ(Hex(PhoneSignature(key, Nonce8{})), "367cefc3e9e1c1eda16657851ddd95f8cd22ed54");
  EXPECT_EQ(Hex(PhoneSignature(key, Nonce8{1, 2, 3, 4, 5, 6, 7, 8})),
            "bec97606dfe1eb4d1fa167dd4ab51d1d37d1207f");
}

TEST(PhoneSigning, EmptySerialUsesTheSharedKeyAlone) {
  const Digest16 key = PhoneKeyDigest("");
  EXPECT_EQ(Hex(key), "cd2e649ed97ac1a6a638a43191352592");
  EXPECT_EQ(Hex(PhoneSignature(key, Nonce8{})), "494ecdcc7c1afb75c091b0bc5208994b8c4186bb");
}

TEST(PhoneSigning, SerialIsTakenWithItsLetterCase) {
  EXPECT_NE(PhoneKeyDigest("sn12345"), PhoneKeyDigest("SN12345"));
}

TEST(PhoneSigning, LittleEndianIntegers) {
  uint8_t bytes[4] = {};
  PutLe32(bytes, 0x11223344u);
  EXPECT_EQ(bytes[0], 0x44);
  EXPECT_EQ(bytes[3], 0x11);
  EXPECT_EQ(GetLe32(bytes), 0x11223344u);
}

}  // namespace
}  // namespace pathmon::sim
