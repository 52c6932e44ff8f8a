#pragma once

#include "CertDialogSupport.h"
#include "ObjectInspector.h"

#include <p11-kit/pkcs11.h>

#include <vector>

namespace Ui {
class CObjectInfoDlg;
}
class QPlainTextEdit;
class QPushButton;
class QTableWidget;

// The object inspector: the attributes of one token object, named by their
// PKCS#11 constants, booleans as TRUE/FALSE, every value as a hex dump when
// its row is selected. Certificates also open the certificate viewer.
class CObjectInfoDlg : public CertDialog {
    Q_OBJECT
public:
    static constexpr int kTemplateId = 139;

    // The record must outlive the dialog (it points into the slot's objects).
    CObjectInfoDlg(CK_SLOT_ID slotId, const TokenObjectInfo* record, QWidget* parent = nullptr);
    ~CObjectInfoDlg() override;

    QTableWidget* attributeList() const;
    QPlainTextEdit* valueEdit() const;
    QPushButton* viewerButton() const;
    const std::vector<InspectorRow>& rows() const { return rows_; }

    // "Show System Cert Viewer".
    void showViewer();

protected:
    void initDialog() override;

private:
    void fillList();
    void onRowSelected();

    Ui::CObjectInfoDlg* ui_;
    CK_SLOT_ID slotId_;
    const TokenObjectInfo* record_;
    std::vector<InspectorRow> rows_;
};

// The dump as the edit shows it: the line ends of HexDump as plain line feeds.
QString dumpForEdit(const InspectorRow& row);
