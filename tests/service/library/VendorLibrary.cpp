// A library in the place of the vendor's: the twelve CliSiTef entry points the service calls,
// and no stand-in marker, as the installation check meets the real library.
#include <cstdint>

extern "C" {
int32_t ConfiguraIntSiTefInterativoEx(const char*, const char*, const char*, int32_t, const char*) { return 0; }
int32_t IniciaFuncaoSiTefInterativo(int32_t, const char*, const char*, const char*, const char*,
                                    const char*, const char*) { return -1; }
int32_t ContinuaFuncaoSiTefInterativo(int32_t*, int32_t*, int16_t*, int16_t*, char*, int32_t,
                                      int32_t) { return -1; }
int32_t FinalizaFuncaoSiTefInterativo(int32_t, const char*, const char*, const char*, const char*) { return 0; }
int32_t FinalizaTransacaoSiTefInterativo(int32_t, const char*, const char*, const char*) { return 0; }
int32_t EscreveMensagemPermanentePinPad(const char*) { return 0; }
int32_t ObtemQuantidadeTransacoesPendentes(const char*, const char*) { return 0; }
int32_t VerificaPresencaPinPad() { return 0; }
int32_t LeTrilha3(void*) { return -1; }
int32_t LeCartaoDiretoEx(char*, char*, char*, int32_t, int32_t) { return -1; }
int32_t LeCartaoSeguro(const char*) { return -1; }
int32_t LeCartaoDiretoSeguro(const char*, char*, int32_t) { return -1; }
}
