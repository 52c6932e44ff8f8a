#include "CertViewerDlg.h"

#include <QFontDatabase>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QString qtext(const std::string& text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// One text of the viewer: the caller's, or the English default.
class Texts {
public:
    explicit Texts(const CertificateViewerTexts& lookup) : lookup_(lookup) {}
    QString operator()(int id, const char* defaultText) const {
        return lookup_ ? qtext(lookup_(id, defaultText)) : QString::fromUtf8(defaultText);
    }

private:
    const CertificateViewerTexts& lookup_;
};

// Certificate texts come from whoever issued the certificate: always shown as
// they stand, never as rich text that could style or add lines to a name.
QLabel* plainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

QLabel* selectableLabel(const QString& text, QWidget* parent) {
    QLabel* label = plainLabel(text, parent);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label->setWordWrap(true);
    label->setMinimumWidth(300);
    return label;
}

// A long colon-separated fingerprint in lines of equal length (at most 16
// bytes each), so it wraps between bytes rather than inside one.
QString fingerprintLines(const std::string& hex) {
    QStringList bytes = qtext(hex).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    if (bytes.size() <= 16)
        return bytes.join(QLatin1Char(':'));
    const qsizetype lines = (bytes.size() + 15) / 16;
    const qsizetype perLine = (bytes.size() + lines - 1) / lines;
    QStringList out;
    for (qsizetype i = 0; i < bytes.size(); i += perLine)
        out << bytes.mid(i, perLine).join(QLatin1Char(':'));
    return out.join(QStringLiteral(":\n"));
}

struct Field {
    QString name;
    QString value;
};

std::vector<Field> mainFields(const CertificateDetails& d, const Texts& translate) {
    QString key = qtext(d.publicKeyAlgorithm);
    if (d.publicKeyBits > 0)
        key += QStringLiteral(" (%1 %2)").arg(d.publicKeyBits).arg(translate(1505, "bits"));
    return {
        {translate(1492, "Subject:"), qtext(d.subject)},
        {translate(1493, "Issuer:"), qtext(d.issuer)},
        {translate(1494, "Valid from:"), qtext(d.notBefore)},
        {translate(1495, "Valid to:"), qtext(d.notAfter)},
        {translate(1496, "Serial number:"), qtext(d.serialNumber)},
        {translate(1497, "Public key:"), key},
        {translate(1498, "Signature algorithm:"), qtext(d.signatureAlgorithm)},
        {translate(1499, "Version:"), qtext(d.version)},
        {translate(1500, "SHA-1 fingerprint:"), fingerprintLines(d.sha1Fingerprint)},
        {translate(1501, "SHA-256 fingerprint:"), fingerprintLines(d.sha256Fingerprint)},
    };
}

QString withoutColon(QString text) {
    while (text.endsWith(QLatin1Char(':')) || text.endsWith(QChar(0xFF1A)))
        text.chop(1);
    return text;
}

} // namespace

CCertViewerDlg::CCertViewerDlg(const CertificateDetails& details, QWidget* parent,
                               const CertificateViewerTexts& texts)
    : QDialog(parent) {
    const Texts translate(texts);
    // The viewer's title is fixed, as the platform's viewer has it.
    setWindowTitle(QString::fromLatin1(kCertificateViewerTitle));
    setModal(true);
    resize(560, 470);

    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget(this);
    layout->addWidget(tabs_);

    const std::vector<Field> fields = mainFields(details, translate);

    auto* general = new QWidget(tabs_);
    auto* form = new QFormLayout(general);
    form->setLabelAlignment(Qt::AlignLeft | Qt::AlignTop);
    form->setRowWrapPolicy(QFormLayout::WrapLongRows);
    for (const Field& field : fields) {
        QLabel* name = plainLabel(field.name, general);
        QFont bold = name->font();
        bold.setBold(true);
        name->setFont(bold);
        form->addRow(name, selectableLabel(field.value, general));
    }
    tabs_->addTab(general, translate(1490, "General"));

    auto* detailsPage = new QWidget(tabs_);
    auto* detailsLayout = new QVBoxLayout(detailsPage);
    fields_ = new QTreeWidget(detailsPage);
    fields_->setColumnCount(2);
    fields_->setHeaderLabels({translate(1502, "Field"), translate(1503, "Value")});
    fields_->setRootIsDecorated(false);
    fields_->setAlternatingRowColors(true);
    fieldText_ = new QPlainTextEdit(detailsPage);
    fieldText_->setReadOnly(true);
    fieldText_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    detailsLayout->addWidget(fields_, 3);
    detailsLayout->addWidget(fieldText_, 2);
    tabs_->addTab(detailsPage, translate(1491, "Details"));

    for (const Field& field : fields) {
        QString value = field.value;
        value.remove(QLatin1Char('\n'));
        auto* item = new QTreeWidgetItem(fields_, {withoutColon(field.name), value});
        item->setData(1, Qt::UserRole, value);
    }
    const QString critical = translate(1504, "critical");
    for (const CertificateExtensionDetails& extension : details.extensions) {
        QString name = qtext(extension.name);
        if (extension.critical)
            name += QStringLiteral(" (") + critical + QLatin1Char(')');
        QString value = qtext(extension.value);
        QString firstLine = value.section(QLatin1Char('\n'), 0, 0);
        auto* item = new QTreeWidgetItem(fields_, {name, firstLine});
        item->setData(1, Qt::UserRole, value);
        item->setToolTip(0, qtext(extension.oid));
    }
    // Names as wide as the longest one needs, within reason.
    fields_->resizeColumnToContents(0);
    fields_->header()->resizeSection(0,
                                     std::clamp(fields_->header()->sectionSize(0) + 8, 150, 280));
    connect(fields_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current) {
        fieldText_->setPlainText(current != nullptr ? current->data(1, Qt::UserRole).toString()
                                                    : QString());
    });
    if (fields_->topLevelItemCount() > 0)
        fields_->setCurrentItem(fields_->topLevelItem(0));

    auto* ok = new QPushButton(translate(1, "OK"), this);
    // The template's control id, as the dialogs carry it ("controlId").
    ok->setProperty("controlId", 1);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    layout->addLayout(buttons);
}

QStringList CCertViewerDlg::generalTexts() const {
    QStringList texts;
    for (QLabel* label : tabs_->widget(0)->findChildren<QLabel*>())
        texts << label->text();
    return texts;
}

std::unique_ptr<CCertViewerDlg> CCertViewerDlg::forCertificate(
    const std::vector<unsigned char>& der, QWidget* parent, const CertificateViewerTexts& texts) {
    CertificateDetails details;
    if (!DescribeCertificate(der, details))
        return nullptr;
    return std::make_unique<CCertViewerDlg>(details, parent, texts);
}
