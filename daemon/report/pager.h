// Pages through a modem: the configured text of each event that begins in
// this cycle is written to the modem device, once per occurrence.
#ifndef TORNAX_DAEMON_REPORT_PAGER_H
#define TORNAX_DAEMON_REPORT_PAGER_H

namespace tornax {

// Pages every event whose slot the last cycle moved to exactly 1 and whose
// paging is enabled, in event order. Main thread, outside tornax_mutex.
void sendpager();

// Writes the text and a line feed to settings.modem_filename, opening and
// closing the device for this one page. A device that can't be opened (or
// none configured) is reported on standard error; the page is lost.
void modemwrite(const char *message);

}  // namespace tornax

#endif  // TORNAX_DAEMON_REPORT_PAGER_H
