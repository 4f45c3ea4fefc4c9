/*
 * The stand-in's control device: how a test program reads the output reports
 * the stand-in received and changes what the stand-in answers. Shared by the
 * kernel driver and the user-mode test host.
 */
#pragma once

#define STANDIN_DOS_NAME "\\\\.\\VkStandIn"

#define FILE_DEVICE_STANDIN 0x8F31
#define STANDIN_CTL_CODE(function)                                                                 \
    (ULONG) CTL_CODE(FILE_DEVICE_STANDIN, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)

/* Output: STANDIN_LOG_HEADER followed by Returned STANDIN_REPORT records, oldest first. */
#define IOCTL_STANDIN_GET_REPORTS STANDIN_CTL_CODE(0x900)
/* Forgets every recorded report; the sequence numbers go on. */
#define IOCTL_STANDIN_CLEAR_REPORTS STANDIN_CTL_CODE(0x901)
/* Input: the new manufacturer string, wide characters, no terminator needed. */
#define IOCTL_STANDIN_SET_MANUFACTURER STANDIN_CTL_CODE(0x902)
/* Output: STANDIN_STATE. */
#define IOCTL_STANDIN_GET_STATE STANDIN_CTL_CODE(0x903)

#define STANDIN_REPORT_BYTES 16
#define STANDIN_LOG_CAPACITY 512
#define STANDIN_MANUFACTURER_CHARS 64

/* How a report reached the stand-in. */
#define STANDIN_KIND_WRITE 1      /* IOCTL_HID_WRITE_REPORT: a WriteFile on the collection */
#define STANDIN_KIND_SET_OUTPUT 2 /* IOCTL_HID_SET_OUTPUT_REPORT: HidD_SetOutputReport */

typedef struct _STANDIN_REPORT
{
    ULONG Sequence; /* counts every report since the driver loaded, from 1 */
    UCHAR Kind;
    UCHAR ReportId;
    UCHAR Length; /* bytes in Data as the class driver passed them */
    UCHAR Device; /* the device that received it: 1 for the first added since load, ... */
    UCHAR Data[STANDIN_REPORT_BYTES];
} STANDIN_REPORT;

typedef struct _STANDIN_LOG_HEADER
{
    ULONG Recorded; /* reports held, including any not returned for lack of room */
    ULONG Returned;
    ULONG Lost; /* reports that arrived while the log was full */
} STANDIN_LOG_HEADER;

typedef struct _STANDIN_STATE
{
    ULONG Starts;
    ULONG PendingReads;
    ULONG ReadsCompletedAtRemoval;
    ULONG StringQueries;
    ULONG SurpriseRemovals;      /* IRP_MN_SURPRISE_REMOVAL requests the stand-in received */
    ULONG RemovalsAfterSurprise; /* IRP_MN_REMOVE_DEVICE requests that followed one */
} STANDIN_STATE;
