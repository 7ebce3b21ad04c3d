// app/gui/ports_dialog.h -- PortsDialog: the FTP and HTTP ports, checked on OK. There is no
// Cancel button; Escape or the close box cancel. It stays above every other window.
//
// Window's thread only.
#pragma once

#include <QDialog>
#include <cstdint>

class QLineEdit;
class QPushButton;

namespace kelvane::gui {

class MessageBoxes;

class PortsDialog : public QDialog {
  Q_OBJECT

 public:
  PortsDialog(MessageBoxes& messages, QWidget* parent = nullptr);

  // Fills the two fields; the values stay until OK replaces them with the fields' checked ones.
  void SetPorts(uint32_t ftp_port, uint32_t http_port);
  uint32_t ftp_port() const { return ftp_port_; }
  uint32_t http_port() const { return http_port_; }

  QLineEdit* ftp_field() const { return ftp_field_; }
  QLineEdit* http_field() const { return http_field_; }
  QPushButton* ok_button() const { return ok_button_; }

  // OK: each field in turn (FTP first) must pass CheckPortField; the first that does not gets
  // its message and the focus, and the dialog stays open.
  void accept() override;

 private:
  MessageBoxes& messages_;
  uint32_t ftp_port_ = 21;
  uint32_t http_port_ = 80;
  QLineEdit* ftp_field_;
  QLineEdit* http_field_;
  QPushButton* ok_button_;
};

}  // namespace kelvane::gui
