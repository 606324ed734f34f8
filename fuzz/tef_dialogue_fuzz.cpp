// Runs the CliSiTef dialogue loop against a library that answers with arbitrary commands,
// field types and texts (unterminated ones included), and handlers that answer with
// arbitrary text. Besides crashes it checks that an answer never goes past the exchange
// block and that every run, however it ends, lets the next function start.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tef/RiZedIzAde.h"
#include "tef/RiZedIzAdeTef.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

struct Entrada {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t byte() { return at < size ? data[at++] : 0; }
  std::string texto() {
    size_t n = byte();
    if (n == 255) n = 25000;  // now and then an answer longer than the block
    std::string t;
    for (size_t i = 0; i < n && at < size; ++i) t += static_cast<char>(data[at++]);
    if (n == 25000) t.resize(25000, 'x');
    return t;
  }
};

Entrada* entrada = nullptr;
int chamadas = 0;

int32_t inicia(int32_t, const char*, const char*, const char*, const char*, const char*,
               const char*) {
  return 10000;
}

int32_t continua(int32_t* comando, int32_t* tipo, int16_t* minimo, int16_t* maximo, char* buffer,
                 int32_t tamanho, int32_t) {
  check(tamanho == TRiZedIzAdeCliSiTef::kTamanhoBuffer);
  check(std::memchr(buffer, '\0', static_cast<size_t>(tamanho)) != nullptr);
  if (++chamadas > 64 || entrada->at >= entrada->size) return entrada->byte() % 2 ? 0 : -2;
  *comando = entrada->byte() % 60;
  const uint8_t t = entrada->byte();
  *tipo = t < 200 ? t : 500 + (t - 200) * 70;  // low codes, and some from 500 to 4400
  *minimo = 0;
  *maximo = 99;
  const std::string texto = entrada->texto();
  if (entrada->byte() % 7 == 0) {
    // No terminating NUL: the whole block is text.
    std::memset(buffer, 'A', static_cast<size_t>(tamanho));
  } else {
    const size_t n = std::min(texto.size(), static_cast<size_t>(tamanho - 1));
    std::memcpy(buffer, texto.data(), n);
    buffer[n] = '\0';
  }
  return 10000;
}

class Fuzzed : public TRiZedIzAdeCliSiTef {
 public:
  using TRiZedIzAdeCliSiTef::TRiZedIzAdeCliSiTef;
  void Usa() {
    xIniciaFuncaoSiTefInterativo = &inicia;
    xContinuaFuncaoSiTefInterativo = &continua;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Entrada in{data, size};
  entrada = &in;
  chamadas = 0;
  TRiZedIzAde tef;
  Fuzzed& m = tef.AddManager(std::make_unique<Fuzzed>(tef));
  tef.SetGPAtual(gpCliSiTef);
  m.Usa();
  m.SetOperacaoCRT(in.byte() % 4);
  m.SetCancelandoTransacaoTEF(in.byte() % 2);
  tef.OnExibeMsg = [&](TRiZedIzAdeOperacaoMensagem, const std::string&, TModalResult& r) {
    r = in.byte() % 8;
  };
  tef.OnExibeMenu = [&](const std::string&, const std::vector<std::string>& opcoes, int& item,
                        bool& voltar) {
    item = static_cast<int>(in.byte()) - 2;
    voltar = in.byte() % 5 == 0;
    (void)opcoes;
  };
  auto campo = [&](std::string& resposta, bool& digitado, bool& voltar) {
    resposta = in.texto();
    digitado = in.byte() % 9 != 0;
    voltar = in.byte() % 9 == 0;
  };
  tef.OnObtemCampo = [&](const std::string&, int, int, int, TRiZedIzAdeCliSiTefOperacaoCampo,
                         std::string& r, bool& d, bool& v) { campo(r, d, v); };
  tef.OnObtemCheque = [&](const std::string&, int, TRiZedIzAdeCliSiTefOperacaoCampo,
                          std::string& r, bool& d, bool& v) { campo(r, d, v); };
  tef.OnObterSenha = [&](const std::string&, bool& v) { v = in.byte() % 9 == 0; };
  tef.OnAguardaResp = [&](const std::string&, int, bool& i) { i = in.byte() % 9 == 0; };
  tef.OnExibeQRCode = [](const std::string&) {};

  const std::string parcelas = in.texto();
  try {
    m.IniciarFuncao(3, "CRT", Currency::FromCents(1050), "", "");
    m.ContinuarFuncao(in.byte() % 2, in.texto(), in.texto(), in.texto(), parcelas);
  } catch (const ERiZedIzAdeErro&) {
    // A bad installment count, or a handler the dialogue needs: refused, not a crash.
  }
  check(!m.AguardandoResposta());
  entrada = nullptr;
  return 0;
}
