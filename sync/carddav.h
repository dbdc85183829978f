#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QNetworkAccessManager>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

// The requests of CardDAV that a synchronisation needs, over Qt Network: finding the address books
// (/.well-known/carddav, the current user's principal, its address book home), listing the cards with
// their ETags (sync-collection where the server offers it, PROPFIND otherwise), fetching them in
// batches (addressbook-multiget), and writing each one guarded by its ETag. Each request waits for its
// answer in an event loop of its own, so that the same code serves vinzal-db and the windows.
// HTTPS uses the system's certificates: a certificate the system does not trust fails the request,
// with the reason; it is never accepted.
namespace vinzal::carddav {

// One answer. `failure` is set when there was no HTTP answer (network, TLS, cancelled).
struct Response
{
    int status = 0;
    QByteArray body;
    QHash<QByteArray, QByteArray> headers; // names in lower case
    std::optional<QString> failure;
    bool cancelled = false;
    bool ok() const { return !failure && status >= 200 && status < 300; }
};

// One <response> of a multistatus answer.
struct Entry
{
    QString path;      // the href as a decoded path
    int status = 0;    // of the response itself (404 for a member removed), or of its found properties
    QByteArray etag;   // as the server gives it, quotes included
    QByteArray data;   // address-data
    QStringList types; // the resource types' local names ("collection", "addressbook")
    QString principal, home, name; // current-user-principal, addressbook-home-set, displayname
    QString syncToken;
};

struct MultiStatus
{
    QList<Entry> entries;
    QString syncToken; // the top-level one of a sync-collection answer
    bool valid = false;
};
MultiStatus parseMultiStatus(const QByteArray& xml, const QUrl& base);

// A path as its decoded text, however the server encodes it.
QString decodedPath(const QString& href, const QUrl& base);

class Client
{
public:
    Client(const QString& user, const QString& password);
    ~Client();
    // Asked often while a request waits: true stops it (the request fails as cancelled).
    void setCancelled(std::function<bool()> cancelled) { m_cancelled = std::move(cancelled); }
    bool cancelled() const { return m_cancelled && m_cancelled(); }

    Response send(const QByteArray& method, const QUrl& url, const QByteArray& body = {},
                  const QList<std::pair<QByteArray, QByteArray>>& headers = {});

    Response propfind(const QUrl& url, int depth, const QByteArray& props);
    Response report(const QUrl& url, int depth, const QByteArray& body);

private:
    QNetworkAccessManager m_network;
    QByteArray m_authorization;
    std::function<bool()> m_cancelled;
};

// XML request bodies.
QByteArray syncCollectionBody(const QString& token);
QByteArray multigetBody(const QList<QString>& paths, const QUrl& base);

} // namespace vinzal::carddav
