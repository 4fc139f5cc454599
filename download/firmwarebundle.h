#ifndef FIRMWAREBUNDLE_H
#define FIRMWAREBUNDLE_H

#include <QByteArray>
#include <QDateTime>
#include <QString>

class VerifiedFirmware;

// A firmware bundle: what the firmware server published for one version,
// saved in a folder of its own so that a PC without the internet can update
// from it. The version file and the image lie there byte for byte as served,
// under their server names (version.txt, K-DMX-47-12.ghx), beside MD5SUMS for
// md5sum -c after a copy, and bundle.json, which says where from, when and by
// what the bundle was fetched. A build that holds the maker's keys saves the
// image's signature too (K-DMX-47-12.ghx.minisig). Only the version file and
// the signature vouch for the image: a bundle is read back by the firmware
// check's own rules (UpdateFW::checkBundle).
class FirmwareBundle
{
public:
    static constexpr char VersionFileName[] = "version.txt";
    static constexpr char ChecksumsName[] = "MD5SUMS";
    static constexpr char DescriptionName[] = "bundle.json";

    // What bundle.json says; null where it says nothing readable.
    struct Description
    {
        QString url;
        QDateTime fetched;
        QString tool;
    };

    // Saves the firmware that a check has verified as the bundle in folder,
    // in one step: the bundle is made whole in a staging folder of the save's
    // own beside it, which then takes the folder's place, so that the folder
    // holds the old bundle or the new one, never part of one. Where the file
    // system cannot swap two folders in one step, the old bundle is moved
    // aside first, and a save cut off right then leaves it there for the
    // next save into the folder to put back. One save into a folder at a
    // time: another waits a few seconds for the lock beside the folder, then
    // gives up. A bundle already there is replaced as a whole; a folder
    // holding anything else is refused and left as it is, and so is an image
    // longer than imageLimit, which no bundle may hold. A link to a folder is
    // followed and keeps naming it; the root of a file system (a USB stick's)
    // is refused. Every file and folder is flushed to the disk, and a flush
    // that fails fails the save. Of what lies beside the folder, only the
    // staging folders of this and of earlier, cut-off saves are cleared, and
    // only where they hold nothing but what a save puts there. Returns false
    // with errorString() set; nothing has changed then, but for two cases
    // that the reason names: the new bundle is in place but the disk did not
    // confirm it, or neither the new bundle could be put in place nor the
    // old one put back, which then lies moved aside as after a cut.
    bool save(const QString &folder, const VerifiedFirmware &firmware,
              const Description &description, qint64 imageLimit);
    // Whether save() would take folder as it is now, asked before anything is
    // fetched, so that a folder that would be refused costs no download. A
    // bundle that a cut-off save left moved aside is put back first.
    // Returns false with errorString() set.
    bool canSaveIn(const QString &folder);
    QString errorString() const { return error; }
    // A seam for tests and the demo: without the one-step swap a save takes
    // the way of the file systems that have none (FAT on Windows, exFAT),
    // moving the old bundle aside first.
    void setOneStepSwap(bool enabled) { oneStepSwap = enabled; }

    // Reads the bundle.json of the bundle in folder. It vouches for nothing,
    // so whatever cannot be read of it is left null.
    static Description readDescription(const QString &folder);
    // Where a save that was cut off left the bundle of folder moved aside,
    // when folder itself is gone; empty otherwise.
    static QString movedAsideBundle(const QString &folder);

private:
    bool fail(const QString &text);

    QString error;
    bool oneStepSwap = true;
};

#endif // FIRMWAREBUNDLE_H
