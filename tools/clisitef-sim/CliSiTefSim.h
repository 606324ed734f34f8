// The twelve entry points of the stand-in CliSiTef library, for programs that link or
// dlopen it directly (its own tests, small tools). The service does not include this: it
// looks the names up with dlsym and declares its own function-pointer types.
//
// Text is NUL-terminated single-byte (Windows-1252); integers are 32-bit, the two sizes
// of ContinuaFuncaoSiTefInterativo are 16-bit.
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int32_t ConfiguraIntSiTefInterativoEx(const char* endereco_sitef, const char* codigo_loja,
                                      const char* numero_terminal, int32_t reservado,
                                      const char* parametros_adicionais);

int32_t IniciaFuncaoSiTefInterativo(int32_t funcao, const char* valor, const char* cupom_fiscal,
                                    const char* data_fiscal, const char* horario,
                                    const char* operador, const char* restricoes);

int32_t ContinuaFuncaoSiTefInterativo(int32_t* comando, int32_t* tipo_campo,
                                      int16_t* tamanho_minimo, int16_t* tamanho_maximo,
                                      char* buffer, int32_t tamanho_buffer, int32_t continua);

int32_t FinalizaFuncaoSiTefInterativo(int32_t confirma, const char* cupom_fiscal,
                                      const char* data_fiscal, const char* horario,
                                      const char* parametros_adicionais);

int32_t FinalizaTransacaoSiTefInterativo(int32_t confirma, const char* cupom_fiscal,
                                         const char* data_fiscal, const char* horario);

int32_t EscreveMensagemPermanentePinPad(const char* mensagem);

// cupom_fiscal may be a null pointer (no coupon).
int32_t ObtemQuantidadeTransacoesPendentes(const char* data_fiscal, const char* cupom_fiscal);

int32_t VerificaPresencaPinPad(void);

// resultado: 4 writable bytes. 10000 starts a card dialogue continued with
// ContinuaFuncaoSiTefInterativo; at its end the buffer holds the track-3 text.
int32_t LeTrilha3(void* resultado);

// Buffers of 25, 129 and 129 bytes: masked card number, track 1, track 2.
// tempo_espera: seconds (a 16-bit value widened to 32 bits); reservado: 0.
int32_t LeCartaoDiretoEx(char* cartao_mascarado, char* trilha1, char* trilha2,
                         int32_t tempo_espera, int32_t reservado);

// Present for completeness; the service never calls them.
int32_t LeCartaoSeguro(const char* mensagem);
int32_t LeCartaoDiretoSeguro(const char* mensagem, char* cartao_mascarado, int32_t tamanho);

#ifdef __cplusplus
}
#endif
