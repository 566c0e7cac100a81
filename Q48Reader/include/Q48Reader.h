/*
 * Q48Reader: the Q48 desk reader (identity-card chip, SIM card) as five C
 * functions.
 *
 * Each call is one whole exchange: it finds the reader (USB 0403:6001), opens
 * its port, sends one request, waits for the answer, copies text into the
 * caller's buffer, closes the port and returns a result code. Nothing stays
 * open between calls.
 *
 * Text is 8-bit GBK (code page 936). Buffers belong to the caller; the library
 * copies each text by its byte length and writes NO terminating zero, so pass
 * zero-filled buffers of the sizes below.
 *
 * Threads: any thread may call; calls are serialised inside the library (a
 * second concurrent call waits for the first). Calls block for the whole
 * exchange: up to about 3 s (zelListReaderCard), 5 s (zelReadCard), 20 s
 * (zelReadICCID, zelReadCardType) or 30 s (zelWriteCard). Pointers must be
 * valid; the library keeps none after a call.
 *
 * Timing on Windows: the library waits in steps of 1 ms, which a stock PC
 * would round up to its timer tick (about 15.6 ms). So each call asks for a
 * 1 ms timer resolution (timeBeginPeriod(1), winmm.dll) while it talks to the
 * reader, and always gives it back (timeEndPeriod(1)) before it returns,
 * whatever the result. Between calls the system's resolution is as the host
 * left it.
 */
#ifndef Q48READER_H
#define Q48READER_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define Q48_CALL __stdcall
#else
#define Q48_CALL
#endif

#if defined(_WIN32)
#if defined(Q48READER_BUILD)
#define Q48_API __declspec(dllexport)
#else
#define Q48_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define Q48_API __attribute__((visibility("default")))
#else
#define Q48_API
#endif

/* Result codes (signed 16-bit). */
#define Q48_READER_FOUND 1      /* zelListReaderCard: the reader identified itself */
#define Q48_OK 0                /* success; zelListReaderCard: no reader attached */
#define Q48_ERR_NO_READER (-1)  /* no reader; zelReadCard, zelListReaderCard: also port unavailable;
                                   zelListReaderCard: also no or bad answer */
#define Q48_ERR_REJECTED (-2)   /* the reader answered with a failure (ICCID, card type, write) */
#define Q48_ERR_ARGUMENT (-3)   /* zelWriteCard: a text's length is out of range */
#define Q48_ERR_TIMEOUT (-4)    /* no answer in time; ICCID, card type, write: also port unavailable */
#define Q48_ERR_READ_CARD (-6)  /* zelReadCard: the reader answered with a failure */

/* Buffer sizes the caller must pass. */
#define Q48_READ_CARD_BUFFER 52200 /* zelReadCard: 11 fields, see below */
#define Q48_ICCID_BUFFER 60        /* zelReadICCID: at most 59 bytes of text */
#define Q48_FIELD_STRIDE 100       /* zelReadCard: field i starts at i * 100 */

/*
 * Asks the reader to identify itself.
 * Returns 1 (reader answered), 0 (no reader attached), -1 (port unavailable,
 * no answer within about 3 s, or an answer that is not the reader's).
 */
Q48_API short Q48_CALL zelListReaderCard(void);

/*
 * Reads the identity card on the reader into `buffer` (Q48_READ_CARD_BUFFER
 * zero-filled bytes). Fields at offsets 0 name (with the card's blank fill),
 * 100 sex code, 200 ethnic group, 300 birth date YYYYMMDD, 400 address,
 * 500 identity number, 600 issuing authority, 700 valid from, 800 valid to,
 * 900 reserved text, 1000 the portrait as Base64 JPEG (open-ended).
 * Other kinds of card fill the slot of the same meaning and put their kind
 * mark at 900: "J" a Hong Kong, Macao or Taiwan residents' permit; "I" (2017)
 * or "Y" (2023) a foreigner's permanent residence card, whose English name is
 * at 0, nationality (ISO 3166-1 alpha-3) at 200, card number at 500, 2017
 * authority code at 600, and address empty.
 * Returns 0, -1 (no reader, or port unavailable), -4 (no answer within
 * about 5 s), -6 (the reader reported a failure, e.g. no card). On failure the
 * buffer is untouched.
 */
Q48_API short Q48_CALL zelReadCard(char* buffer);

/*
 * Reads the SIM card's ICCID into `buffer` (Q48_ICCID_BUFFER zero-filled
 * bytes). Returns 0, -1 (no reader), -2 (the reader reported a failure),
 * -4 (port unavailable, or no answer within about 20 s).
 */
Q48_API short Q48_CALL zelReadICCID(char* buffer);

/*
 * Asks which card type is present. Returns the type, 0 to 255, or -1 (no
 * reader), -2 (the reader reported a failure), -4 (port unavailable, or no
 * answer within about 20 s).
 */
Q48_API short Q48_CALL zelReadCardType(void);

/*
 * Writes to the SIM card: first `number` (1 to 19 bytes, sent as "+86" and
 * the number), then `content` (1 to 19 bytes), each acknowledged by the card.
 * Returns 0 (both written), -1 (no reader), -2 (the card refused a step),
 * -3 (a text's length is out of range; checked before anything else),
 * -4 (port unavailable, or no answer within about 15 s to a step).
 * A failure of the first step means the second was not sent.
 */
Q48_API short Q48_CALL zelWriteCard(const char* content, const char* number);

#ifdef __cplusplus
}
#endif

#endif /* Q48READER_H */
