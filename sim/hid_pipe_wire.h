/* What travels over the named pipe between the test HID minidriver (Wine's
 * HID class stack above it) and vtrlsim-hid, the instrument stand-in behind
 * it.  Plain C, so that the driver and the stand-in share one definition.
 *
 * Every message is a 3-byte header (type, payload length low byte, high byte)
 * followed by the payload.  The driver moves reports and nothing else: the
 * stand-in decides what each report holds and when it comes. */
#ifndef VTRL_SIM_HID_PIPE_WIRE_H
#define VTRL_SIM_HID_PIPE_WIRE_H

#define VTRL_WIRE_HEADER_BYTES 3
#define VTRL_WIRE_MAX_PAYLOAD 300

/* Report lengths on the HID class stack, the report ID byte included
 * (the instrument's reports carry no numbered IDs, so that byte is 0). */
#define VTRL_WIRE_OUTPUT_REPORT_BYTES 257
#define VTRL_WIRE_INPUT_REPORT_BYTES 259
#define VTRL_WIRE_FEATURE_REPORT_BYTES 257

/* Driver to stand-in. */
/* The class driver waits for an input report: answer with one VTRL_WIRE_INPUT
 * when the device has one.  No payload. */
#define VTRL_WIRE_READ 'R'
/* An output report, 257 bytes, report ID first; answered by VTRL_WIRE_OUTPUT_DONE. */
#define VTRL_WIRE_OUTPUT 'W'
/* A feature report fetch; payload 1 byte, the report ID; answered by VTRL_WIRE_FEATURE. */
#define VTRL_WIRE_GET_FEATURE 'F'
/* A line for the stand-in's event log (what the host asked of the driver,
 * such as an input buffer count); ASCII text, no line end. */
#define VTRL_WIRE_NOTE 'N'

/* Stand-in to driver. */
/* An input report as the device sends it: 258 bytes, without the ID byte. */
#define VTRL_WIRE_INPUT 'I'
/* The output report was carried: payload 1 byte, 0 taken, 1 refused. */
#define VTRL_WIRE_OUTPUT_DONE 'w'
/* The feature report: payload 1 status byte (0 given, 1 refused), then on 0
 * the 256 report bytes after the ID. */
#define VTRL_WIRE_FEATURE 'f'

#endif /* VTRL_SIM_HID_PIPE_WIRE_H */
