#include "platform/backend.h"

void AddToFirstLine(CommandFirstLine* line, const char* data, size_t length) {
  for (size_t index = 0; index < length && !line->ended; ++index) {
    if (data[index] == '\n') {
      line->ended = true;
      if (line->length > 0 && line->text[line->length - 1] == '\r') --line->length;
    } else if (line->length + 1 < line->size) {
      line->text[line->length++] = data[index];
    }
  }
  line->text[line->length] = '\0';
}
