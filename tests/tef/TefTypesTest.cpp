#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tef/RiZedIzAdeTypes.h"

namespace {

// The ordinals are stored in files and compared as numbers, so they must not move.
TEST(TefTypes, OrdinalsAreTheDeclaredPositions) {
  EXPECT_EQ(gpNenhum, 0);
  EXPECT_EQ(gpCliSiTef, 4);
  EXPECT_EQ(gpVeSPague, 6);
  EXPECT_EQ(gpTefAuttar, 8);
  EXPECT_EQ(gpConvCard, 15);
  EXPECT_EQ(reqFinalizada, 5);
  EXPECT_EQ(respConcluida, 3);
  EXPECT_EQ(opmDestaqueVia, 7);
  EXPECT_EQ(opmQRCode, 9);
  EXPECT_EQ(opeFechaVinculado, 5);
  EXPECT_EQ(opeImprimePagamentos, 7);
  EXPECT_EQ(trVinculado, 1);
  EXPECT_EQ(ineTotalAPagar, 2);
  EXPECT_EQ(tcSeguranca, 4);
  EXPECT_EQ(mrNone, 0);
  EXPECT_EQ(mrOk, 1);
  EXPECT_EQ(mrYes, 6);
  EXPECT_EQ(mrNo, 7);
}

TEST(TefTypes, EveryExceptionIsCaughtAsTheFamilyBase) {
  const std::vector<std::function<void()>> throwers = {
      [] { throw ERiZedIzAdeErro("erro"); },
      [] { throw ERiZedIzAdeGPNaoResponde("erro"); },
      [] { throw ERiZedIzAdeGPNaoInicializado("erro"); },
      [] { throw ERiZedIzAdeSTSInvalido("erro"); },
      [] { throw ERiZedIzAdeArquivo("erro"); },
      [] { throw ERiZedIzAdeECF("erro"); },
  };
  for (size_t i = 0; i < throwers.size(); ++i) {
    SCOPED_TRACE(i);
    try {
      throwers[i]();
      ADD_FAILURE() << "nothing thrown";
    } catch (const ERiZedIzAdeErro& e) {
      EXPECT_STREQ(e.what(), "erro");
    }
  }
  // A subclass is not mistaken for a sibling.
  EXPECT_THROW(
      {
        try {
          throw ERiZedIzAdeArquivo("Arquivo: \r\nx\r\nnão encontrado");
        } catch (const ERiZedIzAdeECF&) {
          FAIL() << "caught as a sibling";
        }
      },
      ERiZedIzAdeArquivo);
  EXPECT_THROW(throw ERiZedIzAdeECF("ECF não está LIVRE"), std::runtime_error);
}

}  // namespace
