/* vtrlhid.sys: a test HID minidriver for Wine's hidclass.sys.  Each device
 * instance presents one Vantrel instrument's HID interface (vendor 0x7A3D,
 * product 0x05C1, no report IDs, 257-byte output, 259-byte input and 257-byte
 * feature reports) and moves its reports over a named pipe to vtrlsim-hid,
 * the instrument stand-in, which answers them.  The driver holds no
 * instrument logic.
 *
 * Per-instance settings (the device's "Device Parameters" key, written by the
 * installer): Release (DWORD, the HID release number), Pipe (the pipe's name),
 * Manufacturer, Product and SerialNumber (device strings 1 to 3; there are no
 * strings 4 and 5), Extras (DWORD, default 1: answer HidD_GetIndexedString
 * and HidD_FlushQueue here, which Wine 8's hidclass.sys does not implement;
 * 0 leaves them to hidclass, so they fail as on a driver that lacks them).
 *
 * It also tells the stand-in what the host asked of the class driver that
 * the stand-in cannot see: every input buffer count set (and whether it was
 * taken), every queue flush and every indexed string request.
 *
 * Built freestanding: it may import nothing but ntoskrnl.exe, hal.dll and
 * hidclass.sys, or Wine's loader does not take it for a driver. */
#include <ntifs.h>

#include "sim/hid_pipe_wire.h"

/* --- what hidport.h would give (mingw-w64 ships none) ------------------- */

#define VTRL_HID_CTL_CODE(id) CTL_CODE(FILE_DEVICE_KEYBOARD, (id), METHOD_NEITHER, FILE_ANY_ACCESS)
#define VTRL_HID_BUFFER_CTL_CODE(id) \
    CTL_CODE(FILE_DEVICE_KEYBOARD, (id), METHOD_BUFFERED, FILE_ANY_ACCESS)
#define VTRL_HID_OUT_CTL_CODE(id) \
    CTL_CODE(FILE_DEVICE_KEYBOARD, (id), METHOD_OUT_DIRECT, FILE_ANY_ACCESS)

#define MINI_GET_DEVICE_DESCRIPTOR VTRL_HID_CTL_CODE(0)
#define MINI_GET_REPORT_DESCRIPTOR VTRL_HID_CTL_CODE(1)
#define MINI_READ_REPORT VTRL_HID_CTL_CODE(2)
#define MINI_WRITE_REPORT VTRL_HID_CTL_CODE(3)
#define MINI_GET_STRING VTRL_HID_CTL_CODE(4)
#define MINI_ACTIVATE_DEVICE VTRL_HID_CTL_CODE(7)
#define MINI_DEACTIVATE_DEVICE VTRL_HID_CTL_CODE(8)
#define MINI_GET_DEVICE_ATTRIBUTES VTRL_HID_CTL_CODE(9)
#define HOST_GET_FEATURE VTRL_HID_OUT_CTL_CODE(100)
#define HOST_FLUSH_QUEUE VTRL_HID_CTL_CODE(101)
#define HOST_GET_NUM_INPUT_BUFFERS VTRL_HID_BUFFER_CTL_CODE(104)
#define HOST_SET_NUM_INPUT_BUFFERS VTRL_HID_BUFFER_CTL_CODE(105)
#define HOST_GET_INDEXED_STRING VTRL_HID_OUT_CTL_CODE(120)

typedef struct {
    UCHAR Revision;
    PDRIVER_OBJECT DriverObject;
    PUNICODE_STRING RegistryPath;
    ULONG DeviceExtensionSize;
    BOOLEAN DevicesArePolled;
    UCHAR Reserved[3];
} HID_MINIDRIVER_REGISTRATION;

typedef struct {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    PVOID MiniDeviceExtension;
} HID_DEVICE_EXTENSION;

typedef struct {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
    USHORT Reserved[11];
} HID_DEVICE_ATTRIBUTES;

#pragma pack(push, 1)
typedef struct {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdHID;
    UCHAR bCountry;
    UCHAR bNumDescriptors;
    UCHAR bReportType;
    USHORT wReportLength;
} HID_DESCRIPTOR;
#pragma pack(pop)

typedef struct {
    PUCHAR reportBuffer;
    ULONG reportBufferLen;
    UCHAR reportId;
} HID_XFER_PACKET;

NTSTATUS NTAPI HidRegisterMinidriver(HID_MINIDRIVER_REGISTRATION* registration);
NTSYSAPI NTSTATUS NTAPI ZwWaitForMultipleObjects(ULONG count, HANDLE* handles, WAIT_TYPE type,
                                                 BOOLEAN alertable, PLARGE_INTEGER timeout);

/* --- the instrument's interface ------------------------------------------ */

#define VANTREL_VENDOR_ID 0x7A3D
#define VANTREL_PRODUCT_ID 0x05C1

/* Vendor page, no report IDs: 258 input, 256 output and 256 feature bytes
 * (259, 257 and 257 with the ID byte the class driver adds). */
static const UCHAR kReportDescriptor[] = {
    0x06, 0x00, 0xFF,       /* usage page (vendor 0xFF00) */
    0x09, 0x01,             /* usage 1 */
    0xA1, 0x01,             /* collection (application) */
    0x15, 0x00,             /*   logical minimum 0 */
    0x26, 0xFF, 0x00,       /*   logical maximum 255 */
    0x75, 0x08,             /*   report size 8 */
    0x96, 0x02, 0x01,       /*   report count 258 */
    0x09, 0x02, 0x81, 0x02, /*   usage 2, input (data, variable, absolute) */
    0x96, 0x00, 0x01,       /*   report count 256 */
    0x09, 0x03, 0x91, 0x02, /*   usage 3, output */
    0x96, 0x00, 0x01,       /*   report count 256 */
    0x09, 0x04, 0xB1, 0x02, /*   usage 4, feature */
    0xC0,                   /* end collection */
};

#define INPUT_BYTES (VTRL_WIRE_INPUT_REPORT_BYTES - 1)
#define FEATURE_BYTES (VTRL_WIRE_FEATURE_REPORT_BYTES - 1)
#define HELD_MAX 4
#define STRING_CHARS 64
#define PIPE_CHARS 96
#define INSTRUMENTS_MAX 8
#define INSTRUMENT_MAGIC 0x4C525456u /* "VTRL" */

typedef struct {
    IRP* irp;
    BOOLEAN announced; /* the stand-in has been told a read waits */
} HeldRead;

typedef struct {
    ULONG magic;
    PDEVICE_OBJECT fdo;
    PDEVICE_OBJECT next;
    /* settings */
    USHORT release;
    BOOLEAN extras;
    WCHAR pipe[PIPE_CHARS];
    WCHAR strings[3][STRING_CHARS]; /* device strings 1 to 3 */
    /* requests waiting for the stand-in, oldest first */
    KSPIN_LOCK lock;
    HeldRead reads[HELD_MAX];
    ULONG read_count;
    IRP* writes[HELD_MAX];
    ULONG write_count;
    IRP* features[HELD_MAX];
    ULONG feature_count;
    BOOLEAN removed;
    /* the pipe: opened and closed by the reader thread; written under send_lock,
     * an auto-reset event (Wine 8's KMUTEX stays owned once two threads contend for it) */
    HANDLE send_lock;
    BOOLEAN connected;
    HANDLE pipe_handle;
    HANDLE send_event;
    HANDLE receive_event;
    HANDLE stop_event;
    HANDLE thread;
    UCHAR send_buffer[VTRL_WIRE_HEADER_BYTES + VTRL_WIRE_MAX_PAYLOAD];
    UCHAR receive_buffer[VTRL_WIRE_MAX_PAYLOAD];
} Instrument;

static PDRIVER_DISPATCH g_class_device_control;
static KSPIN_LOCK g_instruments_lock;
static Instrument* g_instruments[INSTRUMENTS_MAX];

/* --- small helpers (no C runtime here) ----------------------------------- */

static void CopyBytes(void* to, const void* from, ULONG n) {
    UCHAR* t = to;
    const UCHAR* f = from;
    while (n-- > 0) {
        *t++ = *f++;
    }
}

static void ZeroBytes(void* to, ULONG n) {
    UCHAR* t = to;
    while (n-- > 0) {
        *t++ = 0;
    }
}

static ULONG WideLength(const WCHAR* s) {
    ULONG n = 0;
    while (s[n] != 0) {
        ++n;
    }
    return n;
}

static void WideCopy(WCHAR* to, ULONG capacity, const WCHAR* from) {
    ULONG n = 0;
    while (n + 1 < capacity && from[n] != 0) {
        to[n] = from[n];
        ++n;
    }
    to[n] = 0;
}

static ULONG AppendText(char* to, ULONG used, ULONG capacity, const char* text) {
    while (*text != 0 && used + 1 < capacity) {
        to[used++] = *text++;
    }
    to[used] = 0;
    return used;
}

static ULONG AppendNumber(char* to, ULONG used, ULONG capacity, ULONG value) {
    char digits[12];
    int n = 0;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0 && used + 1 < capacity) {
        to[used++] = digits[--n];
    }
    to[used] = 0;
    return used;
}

static NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static Instrument* InstrumentOfFdo(PDEVICE_OBJECT fdo) {
    HID_DEVICE_EXTENSION* hid = fdo->DeviceExtension;
    Instrument* in = hid->MiniDeviceExtension;
    return in != NULL && in->magic == INSTRUMENT_MAGIC ? in : NULL;
}

static BOOLEAN IsRegistered(PDEVICE_OBJECT fdo) {
    BOOLEAN found = FALSE;
    KIRQL irql;
    ULONG i;
    KeAcquireSpinLock(&g_instruments_lock, &irql);
    for (i = 0; i < INSTRUMENTS_MAX; ++i) {
        if (g_instruments[i] != NULL && g_instruments[i]->fdo == fdo) {
            found = TRUE;
        }
    }
    KeReleaseSpinLock(&g_instruments_lock, irql);
    return found;
}

/* The host's requests arrive at the HID collection's device object, which
 * hidclass creates; Wine's hidclass keeps the function device object it
 * belongs to as the first field of its extension.  That is only believed
 * when it names one of this driver's own function devices. */
static Instrument* InstrumentOfCollection(PDEVICE_OBJECT device) {
    PDEVICE_OBJECT fdo;
    if (IsRegistered(device) || device->DeviceExtension == NULL) {
        return NULL;
    }
    fdo = *(PDEVICE_OBJECT*)device->DeviceExtension;
    return fdo != NULL && IsRegistered(fdo) ? InstrumentOfFdo(fdo) : NULL;
}

/* --- settings -------------------------------------------------------------- */

static BOOLEAN QueryValue(HANDLE key, const WCHAR* name, ULONG type, void* out, ULONG size) {
    UNICODE_STRING value_name;
    ULONG buffer[(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 2 * STRING_CHARS * 2) / sizeof(ULONG)];
    KEY_VALUE_PARTIAL_INFORMATION* info = (KEY_VALUE_PARTIAL_INFORMATION*)buffer;
    ULONG got = 0;
    RtlInitUnicodeString(&value_name, name);
    if (!NT_SUCCESS(ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, info,
                                    sizeof buffer, &got)) ||
        info->Type != type) {
        return FALSE;
    }
    if (type == REG_SZ) {
        ULONG chars = info->DataLength / sizeof(WCHAR);
        WCHAR* text = (WCHAR*)info->Data;
        ULONG n;
        if (chars >= size / sizeof(WCHAR)) {
            chars = size / sizeof(WCHAR) - 1;
        }
        for (n = 0; n < chars && text[n] != 0; ++n) {
            ((WCHAR*)out)[n] = text[n];
        }
        ((WCHAR*)out)[n] = 0;
        return TRUE;
    }
    if (info->DataLength != size) {
        return FALSE;
    }
    CopyBytes(out, info->Data, size);
    return TRUE;
}

static void ReadSettings(Instrument* in, PDEVICE_OBJECT physical) {
    static const WCHAR* const kStringNames[3] = {L"Manufacturer", L"Product", L"SerialNumber"};
    static const WCHAR kPipePrefix[] = L"\\??\\pipe\\";
    WCHAR name[PIPE_CHARS - 16];
    ULONG value = 0;
    HANDLE key = NULL;
    ULONG i;

    in->release = 2;
    in->extras = TRUE;
    WideCopy(name, PIPE_CHARS - 16, L"vtrlhid");
    for (i = 0; i < 3; ++i) {
        in->strings[i][0] = 0;
    }
    if (NT_SUCCESS(IoOpenDeviceRegistryKey(physical, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) {
        if (QueryValue(key, L"Release", REG_DWORD, &value, sizeof value)) {
            in->release = (USHORT)value;
        }
        if (QueryValue(key, L"Extras", REG_DWORD, &value, sizeof value)) {
            in->extras = value != 0;
        }
        QueryValue(key, L"Pipe", REG_SZ, name, sizeof name);
        for (i = 0; i < 3; ++i) {
            QueryValue(key, kStringNames[i], REG_SZ, in->strings[i], sizeof in->strings[i]);
        }
        ZwClose(key);
    }
    WideCopy(in->pipe, PIPE_CHARS, kPipePrefix);
    WideCopy(in->pipe + WideLength(in->pipe), PIPE_CHARS - WideLength(in->pipe), name);
}

/* --- talking to the stand-in ----------------------------------------------- */

static void LockSend(Instrument* in) {
    ZwWaitForSingleObject(in->send_lock, FALSE, NULL);
}

static void UnlockSend(Instrument* in) {
    ZwSetEvent(in->send_lock, NULL);
}

/* Sends one message; the caller holds send_lock.  One write carries one
 * whole message, so messages of different threads never interleave. */
static NTSTATUS SendLocked(Instrument* in, UCHAR type, const void* payload, ULONG length) {
    IO_STATUS_BLOCK io;
    LARGE_INTEGER timeout;
    NTSTATUS status;
    if (!in->connected) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (length > VTRL_WIRE_MAX_PAYLOAD) {
        return STATUS_INVALID_PARAMETER;
    }
    in->send_buffer[0] = type;
    in->send_buffer[1] = (UCHAR)(length & 0xFF);
    in->send_buffer[2] = (UCHAR)(length >> 8);
    CopyBytes(in->send_buffer + VTRL_WIRE_HEADER_BYTES, payload, length);
    io.Status = STATUS_PENDING;
    io.Information = 0;
    status = ZwWriteFile(in->pipe_handle, in->send_event, NULL, NULL, &io, in->send_buffer,
                         VTRL_WIRE_HEADER_BYTES + length, NULL, NULL);
    if (status == STATUS_PENDING) {
        /* A stand-in that stopped reading must not hang the class driver. */
        timeout.QuadPart = -20000000LL; /* 2 s */
        if (ZwWaitForSingleObject(in->send_event, FALSE, &timeout) != STATUS_WAIT_0) {
            IO_STATUS_BLOCK cancel;
            ZwCancelIoFile(in->pipe_handle, &cancel);
            ZwWaitForSingleObject(in->send_event, FALSE, NULL);
            return STATUS_IO_TIMEOUT;
        }
        status = io.Status;
    }
    return status;
}

static NTSTATUS Send(Instrument* in, UCHAR type, const void* payload, ULONG length) {
    NTSTATUS status;
    LockSend(in);
    status = SendLocked(in, type, payload, length);
    UnlockSend(in);
    return status;
}

static void Note(Instrument* in, const char* text) {
    ULONG n = 0;
    while (text[n] != 0) {
        ++n;
    }
    Send(in, VTRL_WIRE_NOTE, text, n);
}

/* Tells the stand-in about every held read it has not heard of. */
static void AnnounceReads(Instrument* in) {
    LockSend(in);
    while (in->connected) {
        BOOLEAN found = FALSE;
        KIRQL irql;
        ULONG i;
        KeAcquireSpinLock(&in->lock, &irql);
        for (i = 0; i < in->read_count && !found; ++i) {
            if (!in->reads[i].announced) {
                in->reads[i].announced = TRUE;
                found = TRUE;
            }
        }
        KeReleaseSpinLock(&in->lock, irql);
        if (!found || !NT_SUCCESS(SendLocked(in, VTRL_WIRE_READ, NULL, 0))) {
            break;
        }
    }
    UnlockSend(in);
}

/* Takes the oldest held request of a kind (NULL when none). */
static IRP* TakeOldest(Instrument* in, IRP** list, ULONG* count) {
    IRP* irp = NULL;
    KIRQL irql;
    ULONG i;
    KeAcquireSpinLock(&in->lock, &irql);
    if (*count > 0) {
        irp = list[0];
        for (i = 1; i < *count; ++i) {
            list[i - 1] = list[i];
        }
        --*count;
    }
    KeReleaseSpinLock(&in->lock, irql);
    return irp;
}

static IRP* TakeOldestRead(Instrument* in) {
    IRP* irp = NULL;
    KIRQL irql;
    ULONG i;
    KeAcquireSpinLock(&in->lock, &irql);
    if (in->read_count > 0) {
        irp = in->reads[0].irp;
        for (i = 1; i < in->read_count; ++i) {
            in->reads[i - 1] = in->reads[i];
        }
        --in->read_count;
    }
    KeReleaseSpinLock(&in->lock, irql);
    return irp;
}

/* Holds a request until the stand-in answers; FALSE when there is no room
 * or the device is going away. */
static BOOLEAN Hold(Instrument* in, IRP** list, ULONG* count, IRP* irp) {
    BOOLEAN held = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&in->lock, &irql);
    if (!in->removed && *count < HELD_MAX) {
        IoMarkIrpPending(irp);
        list[(*count)++] = irp;
        held = TRUE;
    }
    KeReleaseSpinLock(&in->lock, irql);
    return held;
}

/* Takes a request back that could not be sent; FALSE when the reader
 * thread already completed it. */
static BOOLEAN Unhold(Instrument* in, IRP** list, ULONG* count, IRP* irp) {
    BOOLEAN taken = FALSE;
    KIRQL irql;
    ULONG i;
    KeAcquireSpinLock(&in->lock, &irql);
    for (i = 0; i < *count && !taken; ++i) {
        if (list[i] == irp) {
            for (; i + 1 < *count; ++i) {
                list[i] = list[i + 1];
            }
            --*count;
            taken = TRUE;
        }
    }
    KeReleaseSpinLock(&in->lock, irql);
    return taken;
}

static void FailHeld(Instrument* in, IRP** list, ULONG* count, NTSTATUS status) {
    IRP* irp;
    while ((irp = TakeOldest(in, list, count)) != NULL) {
        Complete(irp, status, 0);
    }
}

static void Deliver(Instrument* in, UCHAR type, const UCHAR* payload, ULONG length) {
    IRP* irp;
    if (type == VTRL_WIRE_INPUT && length == INPUT_BYTES) {
        if ((irp = TakeOldestRead(in)) != NULL) {
            CopyBytes(irp->UserBuffer, payload, INPUT_BYTES);
            Complete(irp, STATUS_SUCCESS, INPUT_BYTES);
        }
    } else if (type == VTRL_WIRE_OUTPUT_DONE && length == 1) {
        if ((irp = TakeOldest(in, in->writes, &in->write_count)) != NULL) {
            if (payload[0] == 0) {
                /* The written length counts the report ID byte. */
                Complete(irp, STATUS_SUCCESS, VTRL_WIRE_OUTPUT_REPORT_BYTES);
            } else {
                Complete(irp, STATUS_UNSUCCESSFUL, 0);
            }
        }
    } else if (type == VTRL_WIRE_FEATURE && length >= 1) {
        if ((irp = TakeOldest(in, in->features, &in->feature_count)) != NULL) {
            HID_XFER_PACKET* packet = irp->UserBuffer;
            if (payload[0] == 0 && length == 1 + FEATURE_BYTES) {
                ULONG n = packet->reportBufferLen < FEATURE_BYTES ? packet->reportBufferLen
                                                                  : FEATURE_BYTES;
                CopyBytes(packet->reportBuffer, payload + 1, n);
                Complete(irp, STATUS_SUCCESS, n);
            } else {
                Complete(irp, STATUS_UNSUCCESSFUL, 0);
            }
        }
    }
}

/* Reads exactly n bytes; FALSE when the pipe broke or the thread must stop. */
static BOOLEAN ReceiveExact(Instrument* in, UCHAR* to, ULONG n) {
    ULONG got = 0;
    while (got < n) {
        IO_STATUS_BLOCK io;
        NTSTATUS status;
        io.Status = STATUS_PENDING;
        io.Information = 0;
        status = ZwReadFile(in->pipe_handle, in->receive_event, NULL, NULL, &io, to + got, n - got,
                            NULL, NULL);
        if (status == STATUS_PENDING) {
            HANDLE events[2];
            events[0] = in->receive_event;
            events[1] = in->stop_event;
            if (ZwWaitForMultipleObjects(2, events, WaitAny, FALSE, NULL) != STATUS_WAIT_0) {
                IO_STATUS_BLOCK cancel;
                ZwCancelIoFile(in->pipe_handle, &cancel);
                ZwWaitForSingleObject(in->receive_event, FALSE, NULL);
                return FALSE;
            }
            status = io.Status;
        }
        if (!NT_SUCCESS(status) || io.Information == 0) {
            return FALSE;
        }
        got += (ULONG)io.Information;
    }
    return TRUE;
}

static BOOLEAN Stopping(Instrument* in) {
    LARGE_INTEGER now;
    now.QuadPart = 0;
    return ZwWaitForSingleObject(in->stop_event, FALSE, &now) == STATUS_WAIT_0;
}

static BOOLEAN Connect(Instrument* in) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    HANDLE handle = NULL;
    RtlInitUnicodeString(&name, in->pipe);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    /* Not a synchronous handle: the reader waits on its read while other
     * threads write. */
    if (!NT_SUCCESS(ZwCreateFile(&handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes,
                                 &io, NULL, 0, 0, FILE_OPEN, FILE_NON_DIRECTORY_FILE, NULL, 0))) {
        return FALSE;
    }
    LockSend(in);
    in->pipe_handle = handle;
    in->connected = TRUE;
    UnlockSend(in);
    AnnounceReads(in);
    return TRUE;
}

static void Disconnect(Instrument* in) {
    KIRQL irql;
    ULONG i;
    LockSend(in);
    in->connected = FALSE;
    ZwClose(in->pipe_handle);
    in->pipe_handle = NULL;
    UnlockSend(in);
    /* What the stand-in was asked is lost with it; reads wait for the next one. */
    FailHeld(in, in->writes, &in->write_count, STATUS_DEVICE_NOT_CONNECTED);
    FailHeld(in, in->features, &in->feature_count, STATUS_DEVICE_NOT_CONNECTED);
    KeAcquireSpinLock(&in->lock, &irql);
    for (i = 0; i < in->read_count; ++i) {
        in->reads[i].announced = FALSE;
    }
    KeReleaseSpinLock(&in->lock, irql);
}

/* Connects to the stand-in (again and again, so that a test may start it
 * after the device, or replace it) and delivers what it sends. */
static VOID NTAPI ReaderThread(PVOID context) {
    Instrument* in = context;
    while (!Stopping(in)) {
        UCHAR header[VTRL_WIRE_HEADER_BYTES];
        if (!Connect(in)) {
            LARGE_INTEGER retry;
            retry.QuadPart = -500000LL; /* 50 ms */
            ZwWaitForSingleObject(in->stop_event, FALSE, &retry);
            continue;
        }
        while (ReceiveExact(in, header, VTRL_WIRE_HEADER_BYTES)) {
            ULONG length = header[1] | ((ULONG)header[2] << 8);
            if (length > VTRL_WIRE_MAX_PAYLOAD ||
                (length > 0 && !ReceiveExact(in, in->receive_buffer, length))) {
                break;
            }
            Deliver(in, header[0], in->receive_buffer, length);
        }
        Disconnect(in);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static NTSTATUS MakeEvent(HANDLE* event, EVENT_TYPE type, BOOLEAN signalled) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    return ZwCreateEvent(event, EVENT_ALL_ACCESS, &attributes, type, signalled);
}

static void CloseIfOpen(HANDLE* handle) {
    if (*handle != NULL) {
        ZwClose(*handle);
        *handle = NULL;
    }
}

/* Stops the reader thread and fails what is held; for a device going away. */
static void Shutdown(Instrument* in) {
    KIRQL irql;
    IRP* irp;
    ULONG i;
    KeAcquireSpinLock(&in->lock, &irql);
    in->removed = TRUE;
    KeReleaseSpinLock(&in->lock, irql);
    /* The class driver's read loop waits for its held read before it ends. */
    while ((irp = TakeOldestRead(in)) != NULL) {
        Complete(irp, STATUS_DELETE_PENDING, 0);
    }
    if (in->thread != NULL) {
        ZwSetEvent(in->stop_event, NULL);
        ZwWaitForSingleObject(in->thread, FALSE, NULL);
        CloseIfOpen(&in->thread);
    }
    FailHeld(in, in->writes, &in->write_count, STATUS_DELETE_PENDING);
    FailHeld(in, in->features, &in->feature_count, STATUS_DELETE_PENDING);
    CloseIfOpen(&in->send_lock);
    CloseIfOpen(&in->send_event);
    CloseIfOpen(&in->receive_event);
    CloseIfOpen(&in->stop_event);
    KeAcquireSpinLock(&g_instruments_lock, &irql);
    for (i = 0; i < INSTRUMENTS_MAX; ++i) {
        if (g_instruments[i] == in) {
            g_instruments[i] = NULL;
        }
    }
    KeReleaseSpinLock(&g_instruments_lock, irql);
}

/* --- the class driver's requests (internal device control) -------------- */

static const WCHAR* DeviceString(Instrument* in, ULONG id) {
    /* Wine's hidclass numbers them 1 to 3, Windows' by their descriptor offsets. */
    switch (id) {
        case 1:
        case 14:
            return in->strings[0];
        case 2:
        case 15:
            return in->strings[1];
        case 3:
        case 16:
            return in->strings[2];
        default:
            return NULL;
    }
}

static NTSTATUS CopyString(const WCHAR* text, void* to, ULONG capacity, ULONG_PTR* written) {
    ULONG bytes;
    *written = 0;
    if (text == NULL || text[0] == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    bytes = (WideLength(text) + 1) * sizeof(WCHAR);
    if (to == NULL || bytes > capacity) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    CopyBytes(to, text, bytes);
    *written = bytes;
    return STATUS_SUCCESS;
}

static NTSTATUS ReadReport(Instrument* in, IRP* irp, ULONG out_length) {
    KIRQL irql;
    BOOLEAN held = FALSE;
    if (out_length < INPUT_BYTES || irp->UserBuffer == NULL) {
        return Complete(irp, STATUS_INVALID_BUFFER_SIZE, 0);
    }
    KeAcquireSpinLock(&in->lock, &irql);
    if (!in->removed && in->read_count < HELD_MAX) {
        IoMarkIrpPending(irp);
        in->reads[in->read_count].irp = irp;
        in->reads[in->read_count].announced = FALSE;
        ++in->read_count;
        held = TRUE;
    }
    KeReleaseSpinLock(&in->lock, irql);
    if (!held) {
        return Complete(irp, STATUS_DELETE_PENDING, 0);
    }
    AnnounceReads(in);
    return STATUS_PENDING;
}

static NTSTATUS ForwardHeld(Instrument* in, IRP* irp, IRP** list, ULONG* count, UCHAR type,
                            const void* payload, ULONG length) {
    if (!Hold(in, list, count, irp)) {
        return Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (!NT_SUCCESS(Send(in, type, payload, length)) && Unhold(in, list, count, irp)) {
        Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    return STATUS_PENDING;
}

static NTSTATUS NTAPI InternalDeviceControl(PDEVICE_OBJECT device, IRP* irp) {
    Instrument* in = InstrumentOfFdo(device);
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR written = 0;
    NTSTATUS status;

    if (in == NULL) {
        return Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case MINI_GET_DEVICE_DESCRIPTOR: {
            HID_DESCRIPTOR d;
            if (out_length < sizeof d) {
                return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            }
            d.bLength = sizeof d;
            d.bDescriptorType = 0x21; /* HID */
            d.bcdHID = 0x0111;
            d.bCountry = 0;
            d.bNumDescriptors = 1;
            d.bReportType = 0x22; /* report descriptor */
            d.wReportLength = sizeof kReportDescriptor;
            CopyBytes(irp->UserBuffer, &d, sizeof d);
            return Complete(irp, STATUS_SUCCESS, sizeof d);
        }
        case MINI_GET_REPORT_DESCRIPTOR:
            if (out_length < sizeof kReportDescriptor) {
                return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            }
            CopyBytes(irp->UserBuffer, kReportDescriptor, sizeof kReportDescriptor);
            return Complete(irp, STATUS_SUCCESS, sizeof kReportDescriptor);
        case MINI_GET_DEVICE_ATTRIBUTES: {
            HID_DEVICE_ATTRIBUTES a;
            if (out_length < sizeof a) {
                return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            }
            ZeroBytes(&a, sizeof a);
            a.Size = sizeof a;
            a.VendorID = VANTREL_VENDOR_ID;
            a.ProductID = VANTREL_PRODUCT_ID;
            a.VersionNumber = in->release;
            CopyBytes(irp->UserBuffer, &a, sizeof a);
            return Complete(irp, STATUS_SUCCESS, sizeof a);
        }
        case MINI_GET_STRING: {
            ULONG id = (ULONG)(ULONG_PTR)stack->Parameters.DeviceIoControl.Type3InputBuffer;
            status =
                CopyString(DeviceString(in, id & 0xFFFF), irp->UserBuffer, out_length, &written);
            return Complete(irp, status, written);
        }
        case MINI_ACTIVATE_DEVICE:
        case MINI_DEACTIVATE_DEVICE:
            return Complete(irp, STATUS_SUCCESS, 0);
        case MINI_READ_REPORT:
            return ReadReport(in, irp, out_length);
        case MINI_WRITE_REPORT: {
            HID_XFER_PACKET* packet = irp->UserBuffer;
            UCHAR report[VTRL_WIRE_OUTPUT_REPORT_BYTES];
            ULONG n;
            if (packet == NULL || packet->reportBuffer == NULL) {
                return Complete(irp, STATUS_INVALID_PARAMETER, 0);
            }
            ZeroBytes(report, sizeof report);
            report[0] = packet->reportId;
            n = packet->reportBufferLen < sizeof report - 1 ? packet->reportBufferLen
                                                            : sizeof report - 1;
            CopyBytes(report + 1, packet->reportBuffer, n);
            return ForwardHeld(in, irp, in->writes, &in->write_count, VTRL_WIRE_OUTPUT, report,
                               sizeof report);
        }
        case HOST_GET_FEATURE: {
            HID_XFER_PACKET* packet = irp->UserBuffer;
            if (packet == NULL || packet->reportBuffer == NULL) {
                return Complete(irp, STATUS_INVALID_PARAMETER, 0);
            }
            return ForwardHeld(in, irp, in->features, &in->feature_count, VTRL_WIRE_GET_FEATURE,
                               &packet->reportId, 1);
        }
        default:
            return Complete(irp, STATUS_NOT_SUPPORTED, 0);
    }
}

/* --- the host's requests (device control, ahead of hidclass) -------------- */

/* Sends a buffered input buffer count request down to hidclass on the
 * caller's handle (hidclass keeps its report queue per handle). */
static NTSTATUS InputBufferCount(PDEVICE_OBJECT device, FILE_OBJECT* file, ULONG code,
                                 ULONG* count) {
    KEVENT done;
    IO_STATUS_BLOCK io;
    IRP* irp;
    NTSTATUS status;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(code, device, count, sizeof *count, count, sizeof *count,
                                        FALSE, &done, &io);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = io.Status;
    }
    return status;
}

/* hidclass drops the queued reports whenever the count changes, so a change
 * away and back is a flush. */
static NTSTATUS EmulateFlush(PDEVICE_OBJECT device, IRP* irp) {
    FILE_OBJECT* file = irp->Tail.Overlay.OriginalFileObject;
    ULONG count = 0;
    ULONG other;
    NTSTATUS status = InputBufferCount(device, file, HOST_GET_NUM_INPUT_BUFFERS, &count);
    if (NT_SUCCESS(status)) {
        other = count < 512 ? count + 1 : count - 1;
        status = InputBufferCount(device, file, HOST_SET_NUM_INPUT_BUFFERS, &other);
        if (NT_SUCCESS(status)) {
            status = InputBufferCount(device, file, HOST_SET_NUM_INPUT_BUFFERS, &count);
        }
    }
    return Complete(irp, status, 0);
}

static NTSTATUS AnswerIndexedString(Instrument* in, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    ULONG_PTR written = 0;
    void* out = NULL;
    NTSTATUS status;
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG) ||
        irp->AssociatedIrp.SystemBuffer == NULL) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (irp->MdlAddress != NULL) {
        out = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    }
    status = CopyString(DeviceString(in, *(ULONG*)irp->AssociatedIrp.SystemBuffer), out,
                        stack->Parameters.DeviceIoControl.OutputBufferLength, &written);
    return Complete(irp, status, written);
}

static NTSTATUS NTAPI DeviceControl(PDEVICE_OBJECT device, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    Instrument* in = InstrumentOfCollection(device);
    char note[64];
    ULONG n;
    if (in == NULL || irp->RequestorMode != UserMode) {
        return g_class_device_control(device, irp);
    }
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case HOST_SET_NUM_INPUT_BUFFERS: {
            ULONG count = 0;
            NTSTATUS status;
            if (stack->Parameters.DeviceIoControl.InputBufferLength == sizeof count &&
                irp->AssociatedIrp.SystemBuffer != NULL) {
                count = *(ULONG*)irp->AssociatedIrp.SystemBuffer;
            }
            /* hidclass completes this at once (and the request is gone after). */
            status = g_class_device_control(device, irp);
            n = AppendText(note, 0, sizeof note, "input buffers ");
            n = AppendNumber(note, n, sizeof note, count);
            AppendText(note, n, sizeof note, NT_SUCCESS(status) ? " set" : " refused");
            Note(in, note);
            return status;
        }
        case HOST_FLUSH_QUEUE:
            Note(in, in->extras ? "queue flushed" : "queue flush not answered");
            if (in->extras) {
                return EmulateFlush(device, irp);
            }
            break;
        case HOST_GET_INDEXED_STRING:
            n = AppendText(note, 0, sizeof note, "indexed string ");
            if (stack->Parameters.DeviceIoControl.InputBufferLength >= sizeof(ULONG) &&
                irp->AssociatedIrp.SystemBuffer != NULL) {
                n = AppendNumber(note, n, sizeof note, *(ULONG*)irp->AssociatedIrp.SystemBuffer);
            }
            AppendText(note, n, sizeof note, in->extras ? "" : " not answered");
            Note(in, note);
            if (in->extras) {
                return AnswerIndexedString(in, irp);
            }
            break;
        default:
            break;
    }
    return g_class_device_control(device, irp);
}

/* --- plug and play ----------------------------------------------------------- */

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT fdo) {
    HID_DEVICE_EXTENSION* hid = fdo->DeviceExtension;
    Instrument* in = hid->MiniDeviceExtension;
    OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;
    KIRQL irql;
    ULONG i;
    BOOLEAN registered = FALSE;
    (void)driver;

    ZeroBytes(in, sizeof *in);
    in->magic = INSTRUMENT_MAGIC;
    in->fdo = fdo;
    in->next = hid->NextDeviceObject;
    KeInitializeSpinLock(&in->lock);
    ReadSettings(in, hid->PhysicalDeviceObject);

    KeAcquireSpinLock(&g_instruments_lock, &irql);
    for (i = 0; i < INSTRUMENTS_MAX && !registered; ++i) {
        if (g_instruments[i] == NULL) {
            g_instruments[i] = in;
            registered = TRUE;
        }
    }
    KeReleaseSpinLock(&g_instruments_lock, irql);
    if (!registered) {
        in->magic = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = MakeEvent(&in->send_lock, SynchronizationEvent, TRUE);
    if (NT_SUCCESS(status)) {
        status = MakeEvent(&in->send_event, NotificationEvent, FALSE);
    }
    if (NT_SUCCESS(status)) {
        status = MakeEvent(&in->receive_event, NotificationEvent, FALSE);
    }
    if (NT_SUCCESS(status)) {
        status = MakeEvent(&in->stop_event, NotificationEvent, FALSE);
    }
    if (NT_SUCCESS(status)) {
        InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
        status = PsCreateSystemThread(&in->thread, THREAD_ALL_ACCESS, &attributes, NULL, NULL,
                                      ReaderThread, in);
    }
    if (!NT_SUCCESS(status)) {
        Shutdown(in);
        in->magic = 0;
        return status;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI Pnp(PDEVICE_OBJECT device, IRP* irp) {
    Instrument* in = InstrumentOfFdo(device);
    HID_DEVICE_EXTENSION* hid = device->DeviceExtension;
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (in != NULL && (minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE)) {
        Shutdown(in);
        if (minor == IRP_MN_REMOVE_DEVICE) {
            in->magic = 0;
        }
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(hid->NextDeviceObject, irp);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    HID_MINIDRIVER_REGISTRATION registration;
    NTSTATUS status;

    KeInitializeSpinLock(&g_instruments_lock);
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = InternalDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver->DriverExtension->AddDevice = AddDevice;

    ZeroBytes(&registration, sizeof registration);
    registration.Revision = 1;
    registration.DriverObject = driver;
    registration.RegistryPath = registry_path;
    registration.DeviceExtensionSize = sizeof(Instrument);
    registration.DevicesArePolled = FALSE;
    status = HidRegisterMinidriver(&registration);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    /* The host's device control requests pass here first. */
    g_class_device_control = driver->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
    return STATUS_SUCCESS;
}
