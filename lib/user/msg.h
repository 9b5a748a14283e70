// User messages: localisable texts shown to, and questions asked of, the
// person running the program.
#pragma once

// A localisable text: this marker, "(", the message id, ")" and the
// English default text.
#define MSG_MAGIC "@&!*@*@"

/*
 * Asks a question with the given buttons (a null-terminated list of
 * marked texts) and returns the index of the chosen one. A process with
 * nobody to ask answers with defaultAnswer.
 */
int Msg_Question(const char *const buttons[], int defaultAnswer,
                 const char *format, ...);

// The English text of a marked message (the text after the id).
const char *Msg_StripMSGID(const char *text);
