#include "card/release_card.h"

#include <cstdio>
#include <string>

#include "card/find_card.h"
#include "pci/plx_status.h"
#include "run/fatal_exit.h"
#include "run/run_record.h"
#include "run/run_state.h"

// The release returns once the holder has closed the device, and the
// kernel resets the card as it is closed: by then the load is gone.
static int Release(const DeviceKey& key, unsigned card)
{
    int holder = 0;
    const PlxStatus status = PlxHost_ReleaseDevice(&key, &holder);
    if (status == PLX_ERR_NOT_HELD)
        FatalExit(EXIT_NOT_FOUND, "9054 card number %u is not held: no holder keeps it open.\n",
                  card);
    if (status != PLX_STATUS_OK)
        FatalExit(EXIT_CARD_ACCESS, "Can't reach the holder of 9054 card number %u.\n", card);
    const std::string address = PciAddressText(CardAddressOf(key));
    RecordRelease(address);
    std::printf("Released 9054 card number %u (%s): its holder, process %d, has ended,\n"
                "and the kernel has reset the card; what was loaded into it is gone.\n",
                card, address.c_str(), holder);
    return EXIT_OK;
}

int ReleaseCardHolder(unsigned card)
{
    DeviceKey key;
    if (!FindCardNumber(card, &key))
        FatalExit(EXIT_NOT_FOUND, "Can't find 9054 card number %u.\n", card);
    return Release(key, card);
}

int ReleaseCardHolderAt(const PciAddress& address)
{
    DeviceKey key;
    unsigned card = 0;
    if (!FindCardAt(address, &key, &card))
        FatalExit(EXIT_NOT_FOUND, "Can't find 9054 card at %s.\n", PciAddressText(address).c_str());
    return Release(key, card);
}
