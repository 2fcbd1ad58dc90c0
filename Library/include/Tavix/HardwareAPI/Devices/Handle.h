#pragma once

#include <cstdint>

#include "Tavix/HardwareAPI/Devices/Device.h"
#include "Tavix/HardwareAPI/Devices/GantrelStatus.h"
#include "Tavix/HardwareAPI/Devices/HandleErrorResponse.h"
#include "Tavix/HardwareAPI/Devices/HandleInfo.h"
#include "Tavix/HardwareAPI/Devices/HandleStatusMessage.h"
#include "Tavix/HardwareAPI/IO/SerialStream.h"

namespace Tavix::HardwareAPI::Devices {

/// A hand-held Gantrel handle on one serial port.
///
/// Requests (`SendDeviceWakeup`, `SendHandleState`, `RequestStatus`) only send; their
/// replies are read later, either by `Receive`, which reads one reply and hands it to
/// the callbacks below, or by `GetGantrelStatus`, which reads one compact status frame.
/// The library does not pair requests with replies.
///
/// Each reply reaches the application twice, through two callbacks that do nothing
/// unless overridden: first the field form (the decoded fields as arguments), then the
/// record form (one record). References and pointers passed to a callback are valid
/// only until it returns. The callbacks run on the thread that called `Receive`.
///
/// Failures of the reads are logged on stderr as described for `Device`; a failed write
/// is logged by the stream and the send returns normally. After every operation
/// `LastError()` tells a failure apart from data: `Receive` records
/// `DeviceErrc::wrong_header` for a code of no reply, `GetGantrelStatus`
/// `DeviceErrc::malformed_reply` for a frame that does not unstuff to 18 bytes, and a
/// time-out or a port failure as `Device` does. On an `IO::Port` the handle fails fast
/// (see `Device`): `Receive` then also drops the rest of an unknown or incomplete reply,
/// and `GetGantrelStatus` skips a code 0 like any other byte before a frame. Not
/// thread-safe.
class Handle : public Device {
 public:
  /// Borrows `stream`, which must outlive the handle; see `Device`. Throws
  /// std::invalid_argument if `stream` is null.
  explicit Handle(IO::SerialStream* stream);

  virtual void OnReceiveHandleInfoRecord(const HandleInfo& info);
  virtual void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id,
                                   uint8_t device_model_number, uint8_t hardware_version,
                                   uint8_t firmware_version);
  virtual void OnReceiveHandleStatusRecord(const HandleStatusMessage& status);
  /// `quaternion` points to four floats, `user_data` to `user_data_length` bytes.
  virtual void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion,
                                            uint8_t error_flag, uint8_t hall_effect_sensor_level,
                                            uint8_t user_data_length, const uint8_t* user_data);
  virtual void OnReceiveHandleErrorRecord(const HandleErrorResponse& error);
  virtual void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code);

  /// Declared after the callbacks so that they keep the first six slots of the virtual
  /// table; virtual so that a subclass is destroyed correctly through a Handle pointer.
  virtual ~Handle() = default;

  /// Reads one reply (waiting up to `timeout` for its code, then for its payload),
  /// calls its field form and then its record form, and returns the number of payload
  /// bytes read: 6 for an info reply (0xD0), 3 for an error response (0xDF), 21 + the
  /// user-data length for a status message (0xDA).
  ///
  /// Returns -1 without calling anything when no code arrives in time, the stream fails,
  /// or the code is none of those three (a received code 0 included); only that one
  /// byte is consumed, and the next call reads the following byte as a new code.
  /// When a payload comes up short, calls nothing and returns the bytes read so far,
  /// which is less than the full count (0, or 21 when only the user data is missing).
  /// An exception thrown by a callback propagates; the record form is then not called
  /// and the bytes read stay consumed.
  int Receive();

  /// Sends the wake-up request: the code 0x0A alone.
  void SendDeviceWakeup();

  /// Sends the handle state in one write: 0xDB, `device_id` (little-endian),
  /// `data_length`, then `data_length` bytes copied from `user_data`. Throws
  /// std::invalid_argument, sending nothing, if `user_data` is null while `data_length`
  /// is above 0.
  void SendHandleState(uint16_t device_id, uint8_t data_length, const uint8_t* user_data);

  /// Sends the status request: the code 0xDA alone.
  void RequestStatus();

  /// Reads the next compact status frame: skips bytes until the code 0xDA, reads the
  /// SLIP-stuffed frame that follows up to its closing END (0xC0), unstuffs it into the
  /// 18-byte body and converts it. The frame is 19 to 37 bytes long; the read starts
  /// with 19 and then asks for only as many more as the escapes seen so far require, so
  /// it never takes a byte past the END of a well-formed frame (a malformed one whose
  /// END comes early may lose bytes up to the 19th). Never fails otherwise than through
  /// `error_flag`:
  ///   2, all else 0: no 0xDA arrived; each byte waits up to `timeout`, and the search
  ///                  as a whole ends `timeout` after the call began (no limit when
  ///                  `timeout` is 0 or less)
  ///   1, all else 0: the frame's bytes did not all arrive in time (each read waits up
  ///                  to `timeout`), or no END closed a body of exactly 18 bytes within
  ///                  37 bytes
  /// A code 0 received while searching counts as nothing arriving (2).
  GantrelStatus GetGantrelStatus();

 private:
  int ReceiveInfo();
  int ReceiveStatusMessage();
  int ReceiveErrorResponse();
  bool SkipToStatusCode();
  /// The count of a reply that came up short, once its rest is dropped on a Port.
  int Incomplete(int bytes_read);
};

}  // namespace Tavix::HardwareAPI::Devices
