#include "net_error.h"

#include <curl/curl.h>

#include <fmt/format.h>

namespace vessoria {

std::string_view net_error_words(int curl_code) {
  switch (static_cast<CURLcode>(curl_code)) {
    case CURLE_COULDNT_RESOLVE_HOST:
      return "no se encontró el servidor";
    case CURLE_COULDNT_RESOLVE_PROXY:
      return "no se encontró el proxy";
    case CURLE_COULDNT_CONNECT:
    case CURLE_NO_CONNECTION_AVAILABLE:
    case CURLE_INTERFACE_FAILED:
      return "sin conexión";
    case CURLE_OPERATION_TIMEDOUT:
      return "se agotó el tiempo";
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return "el certificado no es válido";
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
      return "no se pudieron leer los certificados de confianza";
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED:
      return "falló la conexión segura";
    case CURLE_GOT_NOTHING:
      return "el servidor no respondió nada";
    case CURLE_SEND_ERROR:
    case CURLE_SEND_FAIL_REWIND:
    case CURLE_UPLOAD_FAILED:
      return "se cortó el envío";
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return "se cortó la conexión";
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
      return "el servidor respondió algo que no se entiende";
    case CURLE_TOO_MANY_REDIRECTS:
      return "demasiadas redirecciones";
    case CURLE_UNSUPPORTED_PROTOCOL:
      return "dirección no admitida";
    case CURLE_URL_MALFORMAT:
      return "dirección no válida";
    case CURLE_PROXY:
      return "falló el proxy";
    case CURLE_OUT_OF_MEMORY:
      return "sin memoria";
    case CURLE_READ_ERROR:
      return "no se pudo leer lo que se envía";
    case CURLE_WRITE_ERROR:
      return "no se pudo guardar lo recibido";
    case CURLE_ABORTED_BY_CALLBACK:
      return "se canceló";
    default:
      return "falló la conexión";
  }
}

std::string net_error_text(int curl_code) {
  return fmt::format("{} (error de red {})", net_error_words(curl_code), curl_code);
}

}  // namespace vessoria
